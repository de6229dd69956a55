import com.orvane.agent.InstrumentationCallee;
import com.orvane.agent.probe.AnnotationHandler;

/**
 * Probe calls from a class piagent rewrote, as probes make them: read makes three "file read" probe
 * calls, then an exit without an entry and a handle the agent never gave, which must change
 * nothing, and asks where a payload of its own would belong. waits has unprofiled.PiWaits sleep
 * 200 ms inside the sleep hooks and 100 ms inside the net I/O hooks, and says whether the thread's
 * waiting and net I/O times grew by at least that much. suids compares the default
 * serialVersionUID the agent's Java side computes (asking piagent whether the class has a static
 * initialiser) with the JDK's, for a class with one and a subclass without one.
 */
public class PiProbeProgram {
    static class WithInit implements java.io.Serializable {
        static final long START = System.nanoTime();
        int value;
    }

    static class NoInit extends WithInit {
        long other;
    }

    static boolean sameSuid(Class<?> type) {
        return InstrumentationCallee.__orvane_computeDefaultSUID(type)
                == java.io.ObjectStreamClass.lookup(type).getSerialVersionUID();
    }

    static long[] read() {
        long handle = 0;
        for (int i = 0; i < 3; i++) {
            handle = AnnotationHandler.enterAnnotationMethod("file read", 0L, false);
            AnnotationHandler.exitAnnotationMethod(handle, 0L);
        }
        AnnotationHandler.exitAnnotationMethod(handle, 0L);
        AnnotationHandler.exitAnnotationMethod(0x7fffffffffffL, 0L);
        long[] info = new long[7];
        AnnotationHandler.fillAnnotationInfo(info, true, 0L, 0, null);
        info[0] = info[0] != 0 && handle != 0 ? 1 : 0;
        return info;
    }

    static String waits() throws InterruptedException {
        long[] before = new long[7];
        AnnotationHandler.fillAnnotationInfo(before, false, 0L, 0, null);
        unprofiled.PiWaits.sleepAndNetIO();
        long[] after = new long[7];
        AnnotationHandler.fillAnnotationInfo(after, false, 0L, 0, null);
        return (after[4] - before[4] >= 200000L) + " " + (after[5] - before[5] >= 100000L);
    }

    public static void main(String[] args) throws InterruptedException {
        long[] info = read();
        System.out.println("probe program " + info[0] + " " + (info[1] != 0) + " " + (info[6] > 0));
        System.out.println("waits " + waits());
        System.out.println("suids " + sameSuid(WithInit.class) + " " + sameSuid(NoInit.class));
    }
}
