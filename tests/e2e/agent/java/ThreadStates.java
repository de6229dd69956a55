import com.orvane.agent.Agent;
import java.util.concurrent.locks.LockSupport;

/**
 * Threads in each state the sampler tells apart: sleeping, waiting on a monitor, blocked on a
 * monitor that main holds, parked (and renamed), and a thread whose start main registers before
 * starting it.
 * Waits for stdin to close before it starts them; prints "states ready" once all are in place and
 * then holds them for a minute (the test ends the VM before).
 */
public class ThreadStates {
    static final Object waitLock = new Object();
    static final Object contended = new Object();
    static volatile boolean stop;

    static Thread named(String name, Runnable body) {
        Thread t = new Thread(body, name);
        t.setDaemon(true);
        return t;
    }

    static void spawnRegistered() throws InterruptedException {
        Thread child = named("registered-child", () -> { });
        Agent.registerThreadStart(child);
        child.start();
        child.join();
    }

    public static void main(String[] args) throws Exception {
        System.out.println("ready");
        System.out.flush();
        System.in.read();
        spawnRegistered();
        named("unregistered-child", () -> { }).start();
        Thread sleeper = named("sleeper", () -> {
            while (!stop) {
                try {
                    Thread.sleep(600000);
                } catch (InterruptedException e) {
                    return;
                }
            }
        });
        Thread waiter = named("waiter", () -> {
            synchronized (waitLock) {
                while (!stop) {
                    try {
                        waitLock.wait();
                    } catch (InterruptedException e) {
                        return;
                    }
                }
            }
        });
        // Started under another name, renamed once it runs.
        Thread parker = named("parker-to-be", () -> {
            while (!stop) {
                LockSupport.park();
            }
        });
        Thread blocked = named("blocked", () -> {
            synchronized (contended) {
                System.out.println("blocked got the monitor");
            }
        });
        // Probe rows with holes: skipped, the VM goes on.
        Agent.registerAnnotationMethods(new String[][] {null, {"ThreadStates", null, "()V"}, {"ThreadStates"},
                {null, "spawnRegistered", "()V"}}, new int[] {0, 0, 0, -1}, new int[] {0, 0, 0, 0}, 77);
        Agent.registerAnnotationMethods(null, null, null, 0);
        Agent.registerAnnotationMethods(new String[][] {{"A", "b", "()V"}}, new int[0], new int[0], 78);
        System.out.println("rows registered");
        Agent.addBookmark("threads started");
        synchronized (contended) {
            sleeper.start();
            waiter.start();
            parker.start();
            // Parked: the agent has seen it start under its first name.
            while (parker.getState() != Thread.State.WAITING) {
                Thread.sleep(5);
            }
            parker.setName("parker");
            Agent.setThreadName(parker, "parker");
            blocked.start();
            while (blocked.getState() != Thread.State.BLOCKED) {
                Thread.sleep(5);
            }
            System.out.println("states ready");
            System.out.flush();
            // main sleeps holding the monitor.
            Thread.sleep(60000);
        }
        stop = true;
    }
}
