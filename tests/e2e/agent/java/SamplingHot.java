/**
 * A known hot method for the sampled call tree: once stdin closes, main spends about two
 * seconds in hot() while another thread sleeps, prints "done" and then sleeps for a minute (the
 * test ends the VM before).
 */
public class SamplingHot {
    static volatile long sink;

    static long hot(long until) {
        long x = 0;
        while (System.nanoTime() < until) {
            for (int i = 0; i < 10000; i++) {
                x += i * 31L ^ (x >>> 3);
            }
        }
        return x;
    }

    static void cold() {
        sink += System.identityHashCode(new Object());
    }

    public static void main(String[] args) throws Exception {
        // The lambda is linked before recording starts: on a loaded machine its
        // first linking takes as long as hot() itself and would outweigh it.
        Thread sleeper = new Thread(() -> {
            try {
                Thread.sleep(60000);
            } catch (InterruptedException e) {
            }
        }, "sleeper");
        sleeper.setDaemon(true);
        System.out.println("ready");
        System.out.flush();
        while (System.in.read() >= 0) {
        }
        sleeper.start();
        cold();
        sink += hot(System.nanoTime() + 2000000000L);
        System.out.println("done");
        System.out.flush();
        Thread.sleep(60000);
    }
}
