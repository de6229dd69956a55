import com.orvane.agent.Agent;
import com.orvane.agent.ControllerImpl;
import com.orvane.agent.InstrumentationCallee;
import com.orvane.api.agent.Controller;
import java.lang.reflect.Method;

/**
 * The agent's controller API called by a program: jvmpihost calls each method on a scripted thread,
 * so that an UnsatisfiedLinkError (or any other throwable) fails the host's step.
 */
public final class PiControllerProgram {
    private PiControllerProgram() {
    }

    public static void startCpu() {
        Controller.startCPURecording(true);
    }

    /** On again without clearing what was recorded. */
    public static void resumeCpu() {
        Controller.startCPURecording(false);
    }

    public static void stopCpu() {
        Controller.stopCPURecording();
    }

    public static void startAllocations() {
        ControllerImpl.startAllocRecording(true);
    }

    public static void stopAllocations() {
        ControllerImpl.stopAllocRecording();
    }

    public static void bookmark(String text) {
        Agent.addBookmark(text);
    }

    /** The calling thread takes the name. */
    public static void nameThread(String name) {
        Agent.setThreadName(Thread.currentThread(), name);
    }

    /** The calling thread is about to start a thread called `name`. */
    public static void registerStart(String name) {
        Agent.registerThreadStart(new Thread(name));
    }

    /** The other switches, each on and off again. */
    public static void switches() {
        Controller.startMonitorRecording(1000, 1000);
        Controller.stopMonitorRecording();
        Controller.startMethodStatsRecording();
        Controller.stopMethodStatsRecording();
        ControllerImpl.stopVMTelemetryRecording();
        ControllerImpl.startVMTelemetryRecording();
        Object[] config = new Object[2];
        int id = Agent.getConfig(config);
        System.out.println("config " + id + (config[1] != null ? " with text" : " without text"));
        // No writer is lent under this handle: nothing is written.
        Agent.writeData(12345L, new byte[] {1, 2, 3}, 0, 3);
    }

    /** The method hooks called with ids that name no method, 0 among them. */
    public static void unknownHookIds() {
        for (int hookId : new int[] {0, 12345, 0, -7}) {
            InstrumentationCallee.enterMethod(hookId, (short) 3, false, 0L, true);
            InstrumentationCallee.enterFilteredMethod(hookId, (short) 3, 0L);
            InstrumentationCallee.exceptionHandlerMethod(hookId, 0L);
            InstrumentationCallee.exitFilteredMethod(hookId, 0L);
            InstrumentationCallee.exitMethod(hookId, 0L);
        }
    }

    public static void heapDump() {
        ControllerImpl.triggerHeapDump(false, false, false, false);
    }

    /**
     * Two custom series (the second without a name), then one tick of the Java side's telemetry: 2 MB
     * used of 4 MB and the series' values, as the agent's sampler thread hands them.
     */
    public static void telemetryTick() throws Exception {
        Class<?> sampler = Class.forName("com.orvane.agent.Sampler");
        Method describe = sampler.getDeclaredMethod("initDescriptions", String[].class, int[].class, long[].class);
        describe.setAccessible(true);
        describe.invoke(null, new String[] {"queue", null}, new int[] {1, 2}, new long[] {10L, 20L});
        Method tick = sampler.getDeclaredMethod("doSampling", long.class, long.class, int[].class);
        tick.setAccessible(true);
        Object recording = tick.invoke(null, 2L << 20, 4L << 20, new int[] {7, 9});
        System.out.println("telemetry recorded " + recording);
    }
}
