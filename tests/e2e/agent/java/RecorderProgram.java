import com.orvane.agent.Agent;
import com.orvane.agent.ControllerImpl;
import com.orvane.agent.InstrumentationCallee;
import com.orvane.agent.java.CobaltRecorder;
import com.orvane.agent.java.JavaAgentManager;
import com.orvane.agent.java.Transformer;

import java.io.ByteArrayOutputStream;
import java.io.InputStream;
import java.lang.reflect.Method;

/**
 * Runs the recorder in a VM without -agentpath: loads the agent with System.load (args[0]), calls the
 * recorder's natives before and after its start-up (options args[2]), runs code the agent rewrote and saves recorder
 * snapshots into args[1]. Prints one line per step.
 */
public class RecorderProgram {
    /** The recorded code. */
    public static class Work {
        public static int spin(int n) {
            int s = 0;
            for (int i = 0; i < n; i++) {
                s += i % 7;
            }
            return s;
        }

        public static int run(int times) {
            int s = 0;
            for (int i = 0; i < times; i++) {
                s += spin(i);
            }
            return s;
        }
    }

    /** The recorder's policy class: a policy for every probe and class method it is asked about. */
    public static class Policy {
        public int limit1 = 10;
        public boolean on1 = true;
        public int limit2 = 20;
        public boolean on2 = false;
        public int limit3 = 30;
        public boolean on3 = true;
        public int last = 4;
        static int asked;
        static int wrongArguments;

        public static Object policy(boolean annotationMethod, String name) {
            asked++;
            if (name == null || annotationMethod) {
                wrongArguments++;
            }
            return new Policy();
        }
    }

    static final class RewrittenLoader extends ClassLoader {
        RewrittenLoader(ClassLoader parent) {
            super(parent);
        }

        Class<?> define(String name, byte[] bytes) {
            return defineClass(name, bytes, 0, bytes.length);
        }
    }

    static Class<?> loadRewritten(String name) throws Exception {
        ByteArrayOutputStream bytes = new ByteArrayOutputStream();
        try (InputStream in = RecorderProgram.class.getResourceAsStream("/" + name + ".class")) {
            byte[] block = new byte[4096];
            for (int n; (n = in.read(block)) > 0; ) {
                bytes.write(block, 0, n);
            }
        }
        byte[] rewritten = Transformer.transform0(name, null, bytes.toByteArray(), true, new int[1]);
        System.out.println("rewritten " + (rewritten != null));
        byte[] classBytes = rewritten != null ? rewritten : bytes.toByteArray();
        return new RewrittenLoader(RecorderProgram.class.getClassLoader()).define(name, classBytes);
    }

    static int save(String dir, String name) {
        return CobaltRecorder.createCobaltSnapshot((dir + "/" + name).getBytes(), null, false, new Object[0]);
    }

    public static void main(String[] args) throws Exception {
        System.load(args[0]);
        String dir = args[1];
        Object[] config = new Object[] {"untouched", "untouched"};

        // No session yet: every native answers 0 or null and changes nothing.
        System.out.println("before config " + Agent.getConfig(config) + " " + config[0] + " " + config[1]);
        Agent.agentMainThreadStarted();
        InstrumentationCallee.setNativeCobaltRecording0(true, new long[] {5});
        System.out.println("before snapshot " + save(dir, "none.ovs"));

        Object[] locks = new Object[] {new Object(), new Object(), new Object(), new Object()};
        JavaAgentManager.init0(args[2], locks);
        config = new Object[] {"untouched", "untouched"};
        int id = Agent.getConfig(config);
        String path = config[0] instanceof byte[] ? new String((byte[]) config[0], "UTF-8") : String.valueOf(config[0]);
        System.out.println("config " + id + " " + path + " " + config[1]);
        Agent.agentMainThreadStarted();
        Agent.agentMainThreadStarted();

        // The program's own classes are the ones to record.
        ControllerImpl.setInclusiveFilter(new String[] {"RecorderProgram"});
        Method run = loadRewritten("RecorderProgram$Work").getMethod("run", int.class);
        System.out.println("ran " + run.invoke(null, 40));
        System.out.println("saved recorded " + save(dir, "recorded.ovs"));

        CobaltRecorder.updatePolicies0(Policy.class, Policy.class.getMethod("policy", boolean.class, String.class),
                Policy.class.getField("limit1"), Policy.class.getField("on1"), Policy.class.getField("limit2"),
                Policy.class.getField("on2"), Policy.class.getField("limit3"), Policy.class.getField("on3"),
                Policy.class.getField("last"));
        System.out.println("policies asked " + (Policy.asked > 0) + " wrong " + Policy.wrongArguments);

        // The switch empties the CPU data: what ran before is gone, what runs after is recorded.
        InstrumentationCallee.setNativeCobaltRecording0(true, new long[] {5, 5, 0, 7});
        System.out.println("saved reset " + save(dir, "reset.ovs"));
        System.out.println("ran " + run.invoke(null, 3));
        System.out.println("saved after " + save(dir, "after.ovs"));
        System.out.println("done");
    }
}
