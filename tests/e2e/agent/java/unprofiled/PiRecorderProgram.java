package unprofiled;

import com.orvane.agent.Agent;
import com.orvane.agent.InstrumentationCallee;
import com.orvane.agent.java.CobaltRecorder;
import com.orvane.agent.java.JavaAgentManager;
import com.orvane.agent.java.Transformer;
import com.orvane.agent.probe.AnnotationHandler;

import java.io.ByteArrayOutputStream;
import java.io.InputStream;
import java.util.Arrays;

/**
 * Drives the recorder and the class-side natives in a VM that loaded piagent at its start: the
 * recorder's start-up finds the agent running, the agent's Java transformer rewrites a class and
 * the rewritten copy runs, recorded code runs and recorder snapshots are saved in the working
 * directory. Prints one line per step. The session's filters leave this class without hooks:
 * the recorded calls stand at the top of the thread's tree.
 */
public class PiRecorderProgram {
    /** The recorder's policy class. */
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
            if (name == null || !annotationMethod) {
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

    static byte[] classBytes(String name) throws Exception {
        ByteArrayOutputStream bytes = new ByteArrayOutputStream();
        try (InputStream in = PiRecorderProgram.class.getResourceAsStream("/" + name.replace('.', '/') + ".class")) {
            byte[] block = new byte[4096];
            for (int n; (n = in.read(block)) > 0; ) {
                bytes.write(block, 0, n);
            }
        }
        return bytes.toByteArray();
    }

    /** "same" when the transformer leaves the class as it is, else "new" and whether it loads. */
    static String transform(String name, boolean instrument) throws Exception {
        byte[] original = classBytes(name);
        byte[] rewritten = Transformer.transform0(name, null, original, instrument, new int[1]);
        if (rewritten == null) {
            return "same";
        }
        Class<?> type = new RewrittenLoader(PiRecorderProgram.class.getClassLoader()).define(name, rewritten);
        return "new " + (Arrays.equals(original, rewritten) ? "unchanged" : "changed") + " " + type.getName();
    }

    /** Whether the class file names the agent's method-entry hook. */
    static boolean callsHooks(byte[] classFile) {
        return new String(classFile, java.nio.charset.StandardCharsets.ISO_8859_1).contains("__orvane_enterMethod");
    }

    static int save(String name) {
        return CobaltRecorder.createCobaltSnapshot(name.getBytes(), null, false, new Object[0]);
    }

    /** Saves a recorder snapshot under that name and says whether it was saved. */
    public static void saveNamed(String name) {
        System.out.println("saved " + name + " " + save(name));
    }

    public static void drive() throws Exception {
        JavaAgentManager.init0("nowait", new Object[] {new Object(), new Object(), new Object(), new Object()});
        System.out.println("init0 returned");

        // The transformer: a class Java code calls filtered stays as it is, so does the agent's own
        // class; a selected one gets its hooks.
        System.out.println("transform filtered " + transform("unprofiled.PiRecorded", false));
        System.out.println("transform agent " + transform("com.orvane.agent.Agent", true));
        byte[] original = classBytes("unprofiled.PiRecorded");
        byte[] rewritten = Transformer.transform0("unprofiled.PiRecorded", null, original, true, new int[1]);
        System.out.println("transform selected " + (rewritten != null && callsHooks(rewritten)) + " " + callsHooks(original));
        Class<?> selected = new RewrittenLoader(PiRecorderProgram.class.getClassLoader()).define("unprofiled.PiRecorded",
                rewritten);
        System.out.println("rewritten copy " + selected.getMethod("twice", int.class).invoke(null, 21));

        // Nothing to retransform here: the call changes nothing.
        Agent.retransform(selected);
        Agent.retransform(PiRecorderProgram.class);
        System.out.println("retransform returned");

        // Both classes are known to the agent once they loaded.
        new Policy();
        new RewrittenLoader(null);
        Agent.registerComponentType("unprofiled.PiRecorderProgram$Policy", 33);
        Agent.registerDisplayName("unprofiled.PiRecorderProgram$RewrittenLoader", "unprofiled.PiRecorderProgram$Policy", 7);
        Agent.registerDisplayName("unprofiled.PiRecorderProgram$RewrittenLoader", "Second.Name", 8);
        System.out.println("registered");
        // Probe methods of a class that never loads: registered, nothing else changes.
        Agent.registerAnnotationMethods(new String[][] {{"pirecorded.Absent", "spin", "(I)I"}}, new int[] {-1}, new int[] {0}, 76);
        Agent.registerAnnotationMethods(new String[][] {{"pirecorded.Absent", "spin", "(I)I"}}, new int[0], new int[] {0}, 77);
        System.out.println("probe methods registered");

        // A class's id names its pseudo method, also for a class that never loads; one id per class.
        int workId = Transformer.getMethodId0("pirecorded.Work");
        System.out.println("method name " + Transformer.getMethodName0(0) + " " + Transformer.getMethodName0(Transformer.getMethodId0("no.Such"))
                + " " + Transformer.getMethodName0(workId) + " " + (workId != 0 && workId == Transformer.getMethodId0("pirecorded.Work")));
        System.out.println("auto-tune " + Transformer.isAutoTune() + " " + Arrays.toString(Transformer.autoTune0()));

        // The thread's first hooked call stands for the stack the VM had when recording began.
        pirecorded.Work.repeat(0);
        // The recorder's switch empties the CPU data: only what runs after it is recorded.
        InstrumentationCallee.setNativeCobaltRecording0(true, new long[] {5});
        System.out.println("ran " + pirecorded.Work.repeat(40));
        System.out.println("saved recorded " + save("recorded.ovs"));

        // One probe method: the policies are asked for it alone.
        long probe = AnnotationHandler.enterAnnotationMethod("recorder probe", 0L, false);
        AnnotationHandler.exitAnnotationMethod(probe, 0L);
        CobaltRecorder.updatePolicies0(Policy.class, Policy.class.getMethod("policy", boolean.class, String.class),
                Policy.class.getField("limit1"), Policy.class.getField("on1"), Policy.class.getField("limit2"),
                Policy.class.getField("on2"), Policy.class.getField("limit3"), Policy.class.getField("on3"),
                Policy.class.getField("last"));
        System.out.println("policies asked " + Policy.asked + " wrong " + Policy.wrongArguments);

        InstrumentationCallee.setNativeCobaltRecording0(true, new long[] {5, 5, 0, 7});
        System.out.println("saved reset " + save("reset.ovs"));
        System.out.println("ran " + pirecorded.Work.repeat(3));
        System.out.println("saved after " + save("after.ovs"));
        System.out.println("saved nowhere " + save("no/such/dir/x.ovs"));
        System.out.println("done");
    }
}
