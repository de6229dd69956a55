package unprofiled;

import com.orvane.agent.InstrumentationCallee;

/**
 * Sleeps inside the hooks piagent puts around sleeps and net I/O, from a class the session's
 * filters leave without hooks (as the JDK code such hooks wrap): no other hook runs in between.
 */
public class PiWaits {
    public static void sleepAndNetIO() throws InterruptedException {
        InstrumentationCallee.__orvane_enterSleep();
        Thread.sleep(200);
        InstrumentationCallee.__orvane_exitSleep();
        InstrumentationCallee.__orvane_netIOMethod((short) 1, (short) 0);
        Thread.sleep(100);
        InstrumentationCallee.__orvane_netIOMethod((short) 0, (short) 0);
    }
}
