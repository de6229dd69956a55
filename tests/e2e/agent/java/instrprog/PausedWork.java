package instrprog;

import java.io.BufferedReader;
import java.io.InputStreamReader;

/**
 * Waits for one line on standard input before it works, so that something can happen to the VM
 * first (a second agent load); then computes fib(10) (177 calls), prints "done" and waits for the
 * end of standard input.
 */
public class PausedWork {
    static int fib(int n) {
        return n < 2 ? n : fib(n - 1) + fib(n - 2);
    }

    public static void main(String[] args) throws Exception {
        System.out.println("ready");
        System.out.flush();
        BufferedReader in = new BufferedReader(new InputStreamReader(System.in));
        in.readLine();
        System.out.println("fib " + fib(10));
        System.out.println("done");
        System.out.flush();
        while (in.read() >= 0) {
        }
    }
}
