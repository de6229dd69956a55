import java.io.FileInputStream;

/**
 * A file probe call that lasts: once stdin closes, readPipe opens the named pipe given as the first
 * argument and reads one byte from it, which blocks until the test writes it. Prints "reading" before
 * and "done" after, then sleeps (the test ends the VM).
 */
public class FifoProbe {
    static int readPipe(String path) throws Exception {
        FileInputStream in = new FileInputStream(path);
        System.out.println("reading");
        System.out.flush();
        int b = in.read();
        in.close();
        return b;
    }

    public static void main(String[] args) throws Exception {
        System.out.println("ready");
        System.out.flush();
        while (System.in.read() >= 0) {
        }
        int b = readPipe(args[0]);
        System.out.println("done " + b);
        System.out.flush();
        Thread.sleep(60000);
    }
}
