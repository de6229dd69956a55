import com.orvane.agent.InstrumentationCallee;
import com.orvane.agent.java.Transformer;
import com.orvane.api.agent.Controller;
import java.util.concurrent.CountDownLatch;

/**
 * A program with a known call structure for the CPU recording tests. It calls the agent's entry and exit
 * hooks itself, as instrumented code does, with the hook ids of three classes' own nodes.
 */
public class CpuWorkload {
    static class Fib {
    }

    static class Sleeper {
    }

    static class Waiter {
    }

    static class Blocker {
    }

    static final Object lock = new Object();
    static final Object contended = new Object();
    static int waitId;
    static int blockId;

    static int mainId;
    static int fibId;
    static int sleepId;

    static int fib(int n) {
        InstrumentationCallee.enterMethod(fibId, (short) 0, false, 0L, true);
        try {
            return n < 2 ? n : fib(n - 1) + fib(n - 2);
        } finally {
            InstrumentationCallee.exitMethod(fibId, 0L);
        }
    }

    static void sleepy() throws InterruptedException {
        InstrumentationCallee.enterMethod(sleepId, (short) 0, false, 0L, true);
        try {
            Thread.sleep(30);
        } finally {
            InstrumentationCallee.exitMethod(sleepId, 0L);
        }
    }

    static void waiter() throws InterruptedException {
        InstrumentationCallee.enterMethod(waitId, (short) 0, false, 0L, true);
        try {
            synchronized (lock) {
                lock.wait(50);
            }
        } finally {
            InstrumentationCallee.exitMethod(waitId, 0L);
        }
    }

    static void blocker() throws InterruptedException {
        final CountDownLatch held = new CountDownLatch(1);
        final Thread blocked = Thread.currentThread();
        // The lock is held until this thread waits for it, and 100 ms more: a
        // loaded machine may leave this thread unscheduled for longer than that.
        Thread holder = new Thread(() -> {
            synchronized (contended) {
                held.countDown();
                try {
                    while (blocked.getState() != Thread.State.BLOCKED) {
                        Thread.sleep(1);
                    }
                    Thread.sleep(100);
                } catch (InterruptedException stop) {
                    return;
                }
            }
        }, "holder");
        holder.start();
        held.await();
        InstrumentationCallee.enterMethod(blockId, (short) 0, false, 0L, true);
        try {
            synchronized (contended) {
                System.out.println("got the lock");
            }
        } finally {
            InstrumentationCallee.exitMethod(blockId, 0L);
        }
        holder.join();
    }

    /** Leaves a thread blocked on a monitor that another thread holds until the VM ends. */
    static void blockedForever() throws Exception {
        final CountDownLatch held = new CountDownLatch(1);
        Thread holder = new Thread(() -> {
            synchronized (contended) {
                held.countDown();
                try {
                    Thread.sleep(600000);
                } catch (InterruptedException stop) {
                    return;
                }
            }
        }, "holder");
        holder.setDaemon(true);
        holder.start();
        held.await();
        Thread blocked = new Thread(() -> {
            synchronized (contended) {
                System.out.println("never");
            }
        }, "blocked");
        blocked.setDaemon(true);
        blocked.start();
        for (int i = 0; i < 2000 && blocked.getState() != Thread.State.BLOCKED; i++) {
            Thread.sleep(5);
        }
        System.out.println("blocked " + blocked.getState());
        Thread.sleep(600000);
    }

    /** The first hook after recording starts only learns the thread's stack again. */
    static void learnStack() {
        InstrumentationCallee.enterMethod(mainId, (short) 0, false, 0L, true);
    }

    /** Switches recording through the controller API around a known workload. */
    static void controlled() throws Exception {
        Controller.startCPURecording(true);
        Controller.startMethodStatsRecording();
        learnStack();
        InstrumentationCallee.enterMethod(mainId, (short) 0, false, 0L, true);
        int result = fib(10);
        sleepy();
        InstrumentationCallee.exitMethod(mainId, 0L);
        Controller.stopMethodStatsRecording();
        Controller.stopCPURecording();
        // Not recorded: recording is off again.
        InstrumentationCallee.enterMethod(mainId, (short) 0, false, 0L, true);
        fib(5);
        InstrumentationCallee.exitMethod(mainId, 0L);
        Controller.triggerThreadDump();
        System.out.println("done " + result);
        while (System.in.read() >= 0) {
        }
    }

    public static void main(String[] args) throws Exception {
        new Fib();
        new Sleeper();
        new Waiter();
        new Blocker();
        waitId = Transformer.getMethodId0("CpuWorkload$Waiter");
        blockId = Transformer.getMethodId0("CpuWorkload$Blocker");
        mainId = Transformer.getMethodId0("CpuWorkload");
        fibId = Transformer.getMethodId0("CpuWorkload$Fib");
        sleepId = Transformer.getMethodId0("CpuWorkload$Sleeper");
        System.out.println("ids " + mainId + " " + fibId + " " + sleepId + " " + Transformer.getMethodName0(fibId));
        // The first hook of a thread only learns the thread's stack.
        InstrumentationCallee.enterMethod(mainId, (short) 0, false, 0L, true);
        if (args.length > 0 && args[0].equals("controller")) {
            controlled();
            return;
        }
        System.out.println("ready");
        while (System.in.read() >= 0) {
        }
        if (args.length > 0 && args[0].equals("blocked")) {
            blockedForever();
            return;
        }
        learnStack();
        InstrumentationCallee.enterMethod(mainId, (short) 0, false, 0L, true);
        int result = fib(10);
        sleepy();
        waiter();
        blocker();
        InstrumentationCallee.exitMethod(mainId, 0L);
        System.out.println("done " + result);
        Thread.sleep(600000);
    }
}
