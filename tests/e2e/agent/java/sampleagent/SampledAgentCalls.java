/**
 * A program whose busy loop runs inside a class of the agent's own packages
 * (com.orvane.api.sampled.Busy), which calls back into this class. It prints
 * "spinning" and spins until a line (or the end) of its input.
 */
public class SampledAgentCalls {
    static volatile boolean stop;
    static double sink;

    public static void work() {
        double s = 0;
        for (int i = 1; i < 20000; i++)
            s += Math.sqrt(i);
        sink += s;
    }

    static final class Work implements Runnable {
        public void run() {
            work();
        }
    }

    public static void main(String[] args) throws Exception {
        Thread reader = new Thread(() -> {
            try {
                System.in.read();
            } catch (java.io.IOException e) {
                // the input is gone: stop as well
            }
            stop = true;
        });
        reader.setDaemon(true);
        reader.start();
        System.out.println("spinning");
        System.out.flush();
        Runnable work = new Work();
        while (!stop)
            com.orvane.api.sampled.Busy.spin(work);
        System.out.println("stopped");
    }
}
