import java.util.concurrent.locks.LockSupport;

/**
 * Threads whose states are known while one thread computes: "waiter" waits on a monitor,
 * "parker" is parked, "blocked" is blocked on a monitor main holds, and main waits in join()
 * while "worker" spends about three seconds in hot(). Prints the states it forced ("states
 * WAITING WAITING BLOCKED") before the worker starts, "done" when it has finished, and then
 * holds everything until stdin closes.
 */
public class SampledStates {
    static final Object waitLock = new Object();
    static final Object contended = new Object();
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

    static Thread daemon(String name, Runnable body) {
        Thread t = new Thread(body, name);
        t.setDaemon(true);
        return t;
    }

    public static void main(String[] args) throws Exception {
        Thread waiter = daemon("waiter", () -> {
            synchronized (waitLock) {
                while (true) {
                    try {
                        waitLock.wait();
                    } catch (InterruptedException e) {
                        return;
                    }
                }
            }
        });
        Thread parker = daemon("parker", () -> {
            while (true) {
                LockSupport.park();
            }
        });
        Thread blocked = daemon("blocked", () -> {
            synchronized (contended) {
                sink++;
            }
        });
        Thread worker = new Thread(() -> sink += hot(System.nanoTime() + 3000000000L), "worker");
        synchronized (contended) {
            waiter.start();
            parker.start();
            blocked.start();
            while (waiter.getState() != Thread.State.WAITING || parker.getState() != Thread.State.WAITING
                    || blocked.getState() != Thread.State.BLOCKED) {
                Thread.sleep(5);
            }
            System.out.println("states " + waiter.getState() + " " + parker.getState() + " " + blocked.getState());
            System.out.flush();
            worker.start();
            worker.join();
            System.out.println("done");
            System.out.flush();
            while (System.in.read() >= 0) {
            }
        }
    }
}
