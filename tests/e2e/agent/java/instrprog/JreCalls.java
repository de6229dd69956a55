package instrprog;

import java.util.ArrayList;
import java.util.List;

/**
 * Calls into JDK classes the VM loads before any agent sees a class: main adds 1000 boxed
 * Integers (Integer.valueOf) to an ArrayList (ArrayList.add), prints "done" with the sum and
 * waits for the end of standard input.
 */
public class JreCalls {
    public static void main(String[] args) throws Exception {
        List<Integer> list = new ArrayList<Integer>();
        for (int i = 0; i < 1000; i++) {
            list.add(Integer.valueOf(i));
        }
        long sum = 0;
        for (int i = 0; i < list.size(); i++) {
            sum += list.get(i);
        }
        System.out.println("done " + sum);
        System.out.flush();
        while (System.in.read() >= 0) {
        }
    }
}
