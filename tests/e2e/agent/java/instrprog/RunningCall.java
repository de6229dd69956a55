package instrprog;

/**
 * A call that runs for as long as the test wants and calls nothing: main prints "spinning" and
 * enters spin(), which computes until another thread has read a line from standard input; then
 * main prints "done" and waits for the end of standard input.
 */
public class RunningCall {
    static volatile boolean stop;
    static volatile long sink;

    static void spin() {
        long x = 0;
        while (!stop) {
            for (int i = 0; i < 100000; i++) {
                x += i * 31L ^ (x >>> 3);
            }
        }
        sink = x;
    }

    public static void main(String[] args) throws Exception {
        Thread reader = new Thread(() -> {
            try {
                System.in.read();
            } catch (java.io.IOException e) {
            }
            stop = true;
        }, "reader");
        reader.start();
        System.out.println("spinning");
        System.out.flush();
        spin();
        reader.join();
        System.out.println("done");
        System.out.flush();
        while (System.in.read() >= 0) {
        }
    }
}
