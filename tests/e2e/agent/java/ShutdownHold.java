/**
 * A program whose end takes as long as the test wants: it prints "holding" and sleeps; on
 * SIGINT its shutdown hook prints "hook" and waits for a line (or the end) of its input before
 * the VM goes on ending.
 */
public class ShutdownHold {
    public static void main(String[] args) throws InterruptedException {
        Runtime.getRuntime().addShutdownHook(new Thread(() -> {
            System.out.println("hook");
            System.out.flush();
            try {
                System.in.read();
            } catch (java.io.IOException e) {
                // the input is gone: end
            }
        }));
        System.out.println("holding");
        System.out.flush();
        for (;;) {
            Thread.sleep(60000);
        }
    }
}
