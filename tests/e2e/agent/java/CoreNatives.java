import com.orvane.agent.Agent;
import com.orvane.agent.ControllerImpl;
import com.orvane.agent.InstrumentationCallee;
import com.orvane.agent.java.JavaAgentManager;
import com.orvane.agent.probe.AnnotationHandler;

/**
 * Calls the agent's small natives and prints what they gave. With an argument the agent is loaded
 * with System.load from that path first (no -agentpath: the natives find no live session).
 */
public class CoreNatives {
    static String hex(byte[] b) {
        StringBuilder s = new StringBuilder();
        for (byte x : b) {
            s.append(String.format("%02x", x & 0xFF));
        }
        return s.toString();
    }

    public static void main(String[] args) throws Exception {
        if (args.length > 0) {
            System.load(args[0]);
        }
        byte[] id = new byte[6];
        System.out.println("snapshotId " + AnnotationHandler.getSnapshotId(id, 0x01020304) + " " + hex(id));
        System.out.println("short " + AnnotationHandler.getSnapshotId(new byte[3], 7) + " "
                + AnnotationHandler.getSnapshotId(null, 7));
        long before = Agent.getCounter();
        long start = System.nanoTime();
        Agent.runnableSleep(30);
        long sleptMillis = (System.nanoTime() - start) / 1000000;
        long after = Agent.getCounter();
        System.out.println("slept " + (sleptMillis >= 25) + " counter " + (before > 0 && after - before >= 25000));
        System.out.println("port " + Agent.getPort() + " offline " + Agent.isOffline() + " jvmti11 " + Agent.isJvmti11()
                + " config " + Agent.hasConfig() + " pid " + JavaAgentManager.getPid());
        byte[] dir = Agent.getScriptDirName();
        System.out.println("scriptDir " + (dir == null ? "null" : dir[0] + " " + new String(dir, 1, dir.length - 1)));
        // A handle the agent never lent, and a range outside the array: nothing is written.
        Agent.writeData(12345L, new byte[] {1, 2}, 0, 2);
        Agent.writeData(1L, new byte[] {1, 2}, 1, 5);
        Agent.writeData(1L, null, 0, 1);
        ControllerImpl.triggerHeapDump(false, false, false, false);
        ControllerImpl.setInclusiveFilter(new String[] {"CoreNatives", null});
        Agent.updateVmStartTime0();
        if (args.length == 0) {
            // Hook ids that name no method, 0 among them: the program goes on.
            for (int hookId : new int[] {0, 12345, 0, -7}) {
                InstrumentationCallee.enterMethod(hookId, (short) 3, false, 0L, true);
                InstrumentationCallee.enterFilteredMethod(hookId, (short) 3, 0L);
                InstrumentationCallee.exceptionHandlerMethod(hookId, 0L);
                InstrumentationCallee.exitFilteredMethod(hookId, 0L);
                InstrumentationCallee.exitMethod(hookId, 0L);
            }
            System.out.println("hooks passed");
        }
        System.out.println("done");
    }
}
