/**
 * A program profiled by rewritten bytecode whose call tree depends on the first hook of each thread and
 * on exception handlers of methods the hooks never entered: objects made by reflection (the JDK calls
 * their constructor, which has no entry hook) catch an exception in their constructor, and a thread
 * starts in a Runnable. After "done" it waits for the end of standard input.
 */
public class HandlerProgram {
    /** Catches what it throws, inside a constructor that code without hooks calls. */
    public static class Guarded {
        public int caught;

        public Guarded() {
            try {
                throw new IllegalStateException("inside");
            } catch (IllegalStateException e) {
                caught++;
            }
        }
    }

    static int build(int count) throws Exception {
        int caught = 0;
        for (int i = 0; i < count; i++) {
            caught += Guarded.class.getDeclaredConstructor().newInstance().caught;
        }
        return caught;
    }

    static int after(int value) {
        return value + 1;
    }

    public static void main(String[] args) throws Exception {
        System.out.println("caught " + build(3));
        final int[] result = new int[1];
        Thread worker = new Thread(new Runnable() {
            public void run() {
                result[0] = after(1);
            }
        }, "worker");
        worker.start();
        worker.join();
        System.out.println("after " + after(result[0]));
        System.out.println("done");
        System.out.flush();
        while (System.in.read() >= 0) {
        }
    }
}
