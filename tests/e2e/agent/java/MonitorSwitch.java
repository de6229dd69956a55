import com.orvane.agent.ControllerImpl;

/** Switches monitor recording on from Java, waits on a monitor in a thread of its own and says "done". */
public class MonitorSwitch {
    static final Object lock = new Object();

    public static void main(String[] args) throws Exception {
        ControllerImpl.startMonitorRecording(0, 20000);
        Thread waiter = new Thread(() -> {
            synchronized (lock) {
                try {
                    lock.wait(40);
                } catch (InterruptedException e) {
                    Thread.currentThread().interrupt();
                }
            }
        }, "waiter");
        waiter.start();
        waiter.join();
        System.out.println("done");
        System.out.flush();
        while (System.in.read() >= 0) {
        }
        ControllerImpl.stopMonitorRecording();
    }
}
