import com.orvane.agent.InstrumentationCallee;
import com.orvane.agent.java.Transformer;
import com.orvane.agent.probe.AnnotationHandler;

/**
 * Probe calls under a known caller, as probes make them: once stdin closes, the Reader node makes
 * three "file read" probe calls; then an exit without an entry and a handle the agent never gave
 * are sent, which must change nothing. Prints "done" and sleeps (the test ends the VM).
 */
public class ProbeCalls {
    static class Reader {
    }

    public static void main(String[] args) throws Exception {
        new Reader();
        int mainId = Transformer.getMethodId0("ProbeCalls");
        int readerId = Transformer.getMethodId0("ProbeCalls$Reader");
        // The first hook of a thread only learns the thread's stack.
        InstrumentationCallee.enterMethod(mainId, (short) 0, false, 0L, true);
        System.out.println("ready");
        System.out.flush();
        while (System.in.read() >= 0) {
        }
        InstrumentationCallee.enterMethod(mainId, (short) 0, false, 0L, true);
        InstrumentationCallee.enterMethod(readerId, (short) 0, false, 0L, true);
        long handle = 0;
        for (int i = 0; i < 3; i++) {
            handle = AnnotationHandler.enterAnnotationMethod("file read", 0L, false);
            AnnotationHandler.exitAnnotationMethod(handle, 0L);
        }
        AnnotationHandler.exitAnnotationMethod(handle, 0L);
        AnnotationHandler.exitAnnotationMethod(0x7fffffffffffL, 0L);
        InstrumentationCallee.exitMethod(readerId, 0L);
        InstrumentationCallee.exitMethod(mainId, 0L);
        System.out.println("done " + (handle != 0));
        System.out.flush();
        Thread.sleep(60000);
    }
}
