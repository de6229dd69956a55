package callers;

import com.orvane.api.agent.Controller;
import java.util.stream.IntStream;

/**
 * Instrumented methods called from code without hooks: a thread whose frames all lie in a filtered
 * class calls one in a loop, a parallel stream calls another from the JDK's worker threads, and main
 * switches CPU recording off and on through the controller API between known calls. Prints the
 * loop's and the stream's time and the process's CPU time in milliseconds on standard error; after
 * "done" it waits for the end of standard input.
 */
public class HookedCallers {
    /** The hooks' own switch: whether they reach the agent. */
    static boolean hooksRecording() throws Exception {
        java.lang.reflect.Field field = Class.forName("com.orvane.agent.InstrumentationCallee").getDeclaredField("recording");
        field.setAccessible(true);
        return field.getBoolean(null);
    }

    /** The CPU time of the whole process so far, in nanoseconds. */
    static long processCpu() {
        return ((com.sun.management.OperatingSystemMXBean) java.lang.management.ManagementFactory.getOperatingSystemMXBean())
                .getProcessCpuTime();
    }

    public static void main(String[] args) throws Exception {
        int loopCalls = Integer.parseInt(args[0]);
        int streamCalls = Integer.parseInt(args[1]);
        Outside loop = new Outside(loopCalls);
        Thread thread = new Thread(loop, "outside-loop");
        long start = System.nanoTime();
        long cpu = processCpu();
        thread.start();
        thread.join();
        System.err.println("loop ms " + (System.nanoTime() - start) / 1000000);
        System.err.println("loop cpu ms " + (processCpu() - cpu) / 1000000);
        System.out.println("loop " + loop.sum);

        start = System.nanoTime();
        cpu = processCpu();
        long total = IntStream.range(0, streamCalls).parallel().mapToLong(Hooked::inStream).sum();
        System.err.println("stream ms " + (System.nanoTime() - start) / 1000000);
        System.err.println("stream cpu ms " + (processCpu() - cpu) / 1000000);
        System.out.println("stream " + total);

        // Recording goes off and on between known calls of g; only the calls
        // made while it records count.
        Controller.stopCPURecording();
        System.out.println("hooks " + hooksRecording());
        Hooked.calls(5);
        Controller.startCPURecording(false);
        System.out.println("hooks " + hooksRecording());
        Hooked.calls(3);
        System.out.println("switched " + Hooked.switchInside());
        Controller.stopCPURecording();
        Hooked.calls(7);
        Controller.startCPURecording(false);
        System.out.println("done");
        System.out.flush();
        while (System.in.read() >= 0) {
        }
    }
}

class Hooked {
    static long inLoop(int i) {
        return i & 7;
    }

    static long inStream(int i) {
        return i & 3;
    }

    static int g() {
        return 1;
    }

    static int calls(int times) {
        int n = 0;
        for (int i = 0; i < times; i++) {
            n += g();
        }
        return n;
    }

    /** Entered while recording; recording stops and starts again inside it. */
    static int switchInside() {
        Controller.stopCPURecording();
        int n = calls(4);
        Controller.startCPURecording(false);
        return n + g() + g();
    }
}

/** A filtered class: none of its frames runs hooks. */
class Outside implements Runnable {
    private final int calls;
    long sum;

    Outside(int calls) {
        this.calls = calls;
    }

    public void run() {
        long s = 0;
        for (int i = 0; i < calls; i++) {
            s += Hooked.inLoop(i);
        }
        sum = s;
    }
}
