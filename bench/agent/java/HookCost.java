package benchhook;

/**
 * What one hooked call and one recorded allocation cost inside a real JVM, by the program's own clock.
 *
 * Run with the phases to time as arguments; each prints "PHASE NS" (nanoseconds per operation, the
 * lowest of the repetitions after warming up) and, for the allocation phases, "PHASE-objects N" (the
 * objects it made). Phases:
 *   calls       `known(int)` called in a loop (under the agent: its entry and exit hooks)
 *   nop         the same body between two calls of an empty native (in and out of native code twice)
 *   clock       the same with each native reading the agent's clock
 *   alloc       a small object made and kept in a ring of slots (under the agent: Object's hook)
 *   nop-object  an empty native taking an object and its class, once per object made
 *   size        the VM's size of each object made, asked through JVMTI
 *   tag         a JVMTI tag set on each object made
 *   tag-free    the same with the VM's free events on (an empty callback): what the VM adds per tagged
 *               object that goes
 *   class-tag   the JVMTI tag of each object's class read (how the agent finds its class record)
 *   locks       two raw monitors entered and left once per object made
 * The natives come from libhookcostnatives.so (only the phases that need it load it).
 */
public final class HookCost {
    static final int CALLS = 20_000_000;
    static final int OBJECTS = 2_000_000;
    static final int REPEATS = 7;

    static volatile int sink;
    static final Object[] ring = new Object[4096];

    static final class Small {
        final int value;

        Small(int value) {
            this.value = value;
        }
    }

    private HookCost() {
    }

    static native void nop(int id);

    static native long clock(int id);

    static native void nopObject(Object object, Class<?> type);

    static native long size(Object object);

    static native void tag(Object object, long tag);

    static native void locks();

    static native void freeEvents(boolean on);

    static native long classTag(Class<?> type);

    /** The known method: a little arithmetic the JIT cannot fold away. */
    static int known(int x) {
        return x * 31 + 7;
    }

    static int knownBetweenNops(int x) {
        nop(1);
        int r = x * 31 + 7;
        nop(1);
        return r;
    }

    static int knownBetweenClocks(int x) {
        long a = clock(1);
        int r = x * 31 + 7;
        long b = clock(1);
        return r + (int) (b - a);
    }

    static long timeCalls(String phase) {
        int s = 0;
        long start = System.nanoTime();
        switch (phase) {
        case "calls":
            for (int i = 0; i < CALLS; i++)
                s += known(i);
            break;
        case "nop":
            for (int i = 0; i < CALLS; i++)
                s += knownBetweenNops(i);
            break;
        case "clock":
            for (int i = 0; i < CALLS; i++)
                s += knownBetweenClocks(i);
            break;
        default:
            throw new IllegalArgumentException(phase);
        }
        long end = System.nanoTime();
        sink = s;
        return end - start;
    }

    static long timeObjects(String phase) {
        long start = System.nanoTime();
        switch (phase) {
        case "alloc":
            for (int i = 0; i < OBJECTS; i++)
                ring[i & 4095] = new Small(i);
            break;
        case "nop-object":
            for (int i = 0; i < OBJECTS; i++) {
                Small o = new Small(i);
                nopObject(o, o.getClass());
                ring[i & 4095] = o;
            }
            break;
        case "size":
            for (int i = 0; i < OBJECTS; i++) {
                Small o = new Small(i);
                size(o);
                ring[i & 4095] = o;
            }
            break;
        case "tag":
            for (int i = 0; i < OBJECTS; i++) {
                Small o = new Small(i);
                tag(o, i + 2);
                ring[i & 4095] = o;
            }
            break;
        case "tag-free":
            freeEvents(true);
            for (int i = 0; i < OBJECTS; i++) {
                Small o = new Small(i);
                tag(o, i + 2);
                ring[i & 4095] = o;
            }
            break;
        case "class-tag":
            for (int i = 0; i < OBJECTS; i++) {
                Small o = new Small(i);
                classTag(o.getClass());
                ring[i & 4095] = o;
            }
            break;
        case "locks":
            for (int i = 0; i < OBJECTS; i++) {
                Small o = new Small(i);
                locks();
                ring[i & 4095] = o;
            }
            break;
        default:
            throw new IllegalArgumentException(phase);
        }
        return System.nanoTime() - start;
    }

    static boolean isObjectPhase(String phase) {
        return !phase.equals("calls") && !phase.equals("nop") && !phase.equals("clock");
    }

    public static void main(String[] args) {
        for (String phase : args) {
            if (!phase.equals("calls") && !phase.equals("alloc")) {
                System.loadLibrary("hookcostnatives");
                break;
            }
        }
        for (String phase : args) {
            boolean objects = isObjectPhase(phase);
            long per = objects ? OBJECTS : CALLS;
            long best = Long.MAX_VALUE;
            // The first repetitions warm the JIT; the lowest of the rest stands.
            for (int r = 0; r < REPEATS + 2; r++) {
                long t = objects ? timeObjects(phase) : timeCalls(phase);
                if (r >= 2)
                    best = Math.min(best, t);
            }
            System.out.printf("%s %.2f%n", phase, (double) best / per);
            if (objects)
                System.out.printf("%s-objects %d%n", phase, (long) OBJECTS * (REPEATS + 2));
        }
    }
}
