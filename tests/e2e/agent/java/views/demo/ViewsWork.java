package demo;

import java.io.IOException;

/**
 * The same work that a jvmpihost script plays for piagent: main makes a lock, orders three times (each
 * order keeps one new item and pays), then blocks on the lock while a thread "holder" keeps it until a
 * line arrives on standard input, and pays once more inside it. It prints "holding" while the lock is
 * held and "done" at the end, then waits for one more line before it ends.
 */
public class ViewsWork {
    static Item kept;
    static Lock lock;
    static Holder holder;

    public static void main(String[] args) throws Exception {
        lock = new Lock();
        for (int i = 0; i < 3; i++) {
            order();
        }
        holder = new Holder(lock, Thread.currentThread());
        holder.start();
        holder.awaitHeld();
        synchronized (lock) {
            pay();
        }
        System.out.println("done");
        System.in.read();
    }

    static void order() throws InterruptedException {
        kept = new Item(kept);
        pay();
    }

    /** Long enough for every view to show it: a call of no measurable time is left out of the call tree. */
    static void pay() throws InterruptedException {
        Thread.sleep(2);
    }
}

class Item {
    final Item next;

    Item(Item next) {
        this.next = next;
    }
}

class Lock {
}

class Holder extends Thread {
    private final Lock lock;
    private final Thread blocked;
    private volatile boolean held;

    Holder(Lock lock, Thread blocked) {
        super("holder");
        this.lock = lock;
        this.blocked = blocked;
    }

    /** Returns once this thread holds the lock. */
    void awaitHeld() throws InterruptedException {
        while (!held) {
            Thread.sleep(1);
        }
    }

    @Override
    public void run() {
        synchronized (lock) {
            held = true;
            try {
                while (blocked.getState() != Thread.State.BLOCKED) {
                    Thread.sleep(1);
                }
                System.out.println("holding");
                System.in.read();
            } catch (InterruptedException | IOException stop) {
                return;
            }
        }
    }
}
