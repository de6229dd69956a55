import com.orvane.agent.LockManager;

/** Sleeps through the agent's replacement of Thread.sleep, as classes rewritten after an attach do. */
public class SleepHookCheck {
    static void napViaAgent(long millis) throws InterruptedException {
        LockManager.__orvane_sleep(millis);
    }

    static boolean interruptedNap() {
        Thread.currentThread().interrupt();
        try {
            LockManager.__orvane_sleep(1000);
            return false;
        } catch (InterruptedException expected) {
            return true;
        }
    }

    public static void main(String[] args) throws Exception {
        napViaAgent(30);
        System.out.println("interrupted " + interruptedNap());
        System.out.println("done");
        System.out.flush();
        while (System.in.read() >= 0) {
        }
    }
}
