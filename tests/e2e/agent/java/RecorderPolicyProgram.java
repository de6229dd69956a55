import com.orvane.agent.ControllerImpl;
import com.orvane.agent.InstrumentationCallee;
import com.orvane.agent.java.CobaltRecorder;
import com.orvane.agent.java.JavaAgentManager;
import com.orvane.agent.probe.AnnotationHandler;

/**
 * The recorder's policies at work, in a VM without -agentpath: loads the agent with System.load (args[0]),
 * starts the recorder (options args[2]), gives two probes a policy and runs probe calls of known lengths;
 * saves a recorder snapshot and two snapshots through the Java API (recorder on, then off) into args[1].
 */
public class RecorderPolicyProgram {
    /** The policy class: thresholds for two probes, no policy for the others. */
    public static class Policy {
        public int limit1;
        public boolean on1;
        public int limit2;
        public boolean on2;
        public int limit3;
        public boolean on3;
        public int last;

        public static Object policy(boolean annotationMethod, String name) {
            Policy p = new Policy();
            if (annotationMethod && name.equals("AbsoluteProbe")) {
                // Slow above 100 ms, very slow above 600 ms.
                p.limit1 = 100;
                p.limit2 = 600;
                p.on2 = true;
                return p;
            }
            if (annotationMethod && name.equals("AverageProbe")) {
                // Slow above 1.5 times the average run, very slow above 4 times.
                p.limit1 = 150;
                p.limit2 = 400;
                p.on1 = true;
                return p;
            }
            return null;
        }
    }

    static volatile long sink;

    static void busy(long millis) {
        long end = System.nanoTime() + millis * 1000000L;
        while (System.nanoTime() < end) {
            sink += end & 7;
        }
    }

    static void probe(String name, long millis) {
        long method = AnnotationHandler.enterAnnotationMethod(name, 0L, false);
        busy(millis);
        AnnotationHandler.exitAnnotationMethod(method, 0L);
    }

    public static void main(String[] args) throws Exception {
        System.load(args[0]);
        String dir = args[1];
        JavaAgentManager.init0(args[2], new Object[] {new Object(), new Object(), new Object(), new Object()});

        // The probes are known before the policies are asked for.
        for (String name : new String[] {"AbsoluteProbe", "AverageProbe", "PlainProbe"}) {
            probe(name, 0);
        }
        CobaltRecorder.updatePolicies0(Policy.class, Policy.class.getMethod("policy", boolean.class, String.class),
                Policy.class.getField("limit1"), Policy.class.getField("on1"), Policy.class.getField("limit2"),
                Policy.class.getField("on2"), Policy.class.getField("limit3"), Policy.class.getField("on3"),
                Policy.class.getField("last"));
        InstrumentationCallee.setNativeCobaltRecording0(true, new long[0]);

        probe("AbsoluteProbe", 0);
        probe("AbsoluteProbe", 250);
        probe("AbsoluteProbe", 1000);
        for (int i = 0; i < 11; i++) {
            probe("AverageProbe", 5);
        }
        probe("AverageProbe", 600);
        probe("PlainProbe", 250);

        System.out.println("saved recorder "
                + CobaltRecorder.createCobaltSnapshot((dir + "/policies.ovs").getBytes(), null, false, new Object[0]));
        ControllerImpl.saveSnapshot(dir + "/recording.ovs");
        InstrumentationCallee.setNativeCobaltRecording0(false, new long[0]);
        ControllerImpl.saveSnapshot(dir + "/stopped.ovs");
        System.out.println("done");
    }
}
