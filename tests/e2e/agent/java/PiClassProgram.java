/**
 * A program the real JVM under jvmpihost loads from its class path: piagent rewrites it by the
 * session's filters (method hooks, a probe on value) and it says what it computed.
 */
public class PiClassProgram {
    static int square(int x) {
        return x * x;
    }

    static long sum(int n) {
        long s = 0;
        for (int i = 0; i < n; i++) {
            s += square(i);
        }
        return s;
    }

    /** Probed by the session: a primitive argument and result boxed for the probe. */
    static double value(long v, boolean twice) {
        return twice ? v * 2.0 : v;
    }

    public static void main(String[] args) {
        long total = 0;
        for (int round = 0; round < 3; round++) {
            total += sum(4);
        }
        System.out.println("class program " + total + " " + value(7, true) + " " + args.length);
    }
}
