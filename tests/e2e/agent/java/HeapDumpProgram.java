import java.io.BufferedReader;
import java.io.InputStreamReader;

/**
 * A program with a known object graph for the heap dump tests: a linked list of 25 nodes of its own
 * class, an Object[] {null, x}, an int[20000] holding 0..19999, an object with instance and static
 * fields of every primitive type, a subclass with a field of its own and one inherited, an object held only from the main thread's stack, and one dropped on \"drop\". Prints "ready",
 * then waits for "quit" on standard input.
 */
public class HeapDumpProgram {
    static class DumpNode {
        static int toStringCalls;
        DumpNode next;
        int index;

        @Override
        public String toString() {
            toStringCalls++;
            return "node " + index + " call " + toStringCalls;
        }
    }

    static class Marker {
    }

    static class Base {
        int baseField = 11;
    }

    static class Derived extends Base {
        int own = 22;
    }

    static class StackOnly {
    }

    static class Droppable {
    }

    static class Prims {
        static boolean sz = true;
        static byte sb = -3;
        static char sc = 'B';
        static short ss = 0x1234;
        static int si = 5;
        static long sj = 0x1112131415161718L;
        static float sf = 2.0f;
        static double sd = -1.0d;
        static Object sref;
        boolean z = true;
        byte b = 7;
        char c = 'A';
        short s = -2;
        int i = 0x01020304;
        long j = 0x0102030405060708L;
        float f = 1.0f;
        double d = 1.0d;
    }

    static DumpNode head;
    static Object[] pair;
    static int[] numbers;
    static Prims prims;
    static Derived derived = new Derived();
    static Droppable droppable = new Droppable();

    public static void main(String[] args) throws Exception {
        for (int i = 24; i >= 0; i--) {
            DumpNode n = new DumpNode();
            n.index = i;
            n.next = head;
            head = n;
        }
        pair = new Object[] {null, new Marker()};
        Prims.sref = pair[1];
        numbers = new int[20000];
        for (int i = 0; i < numbers.length; i++) {
            numbers[i] = i;
        }
        prims = new Prims();
        StackOnly local = new StackOnly();
        System.out.println("ready");
        System.out.flush();
        BufferedReader in = new BufferedReader(new InputStreamReader(System.in));
        String line;
        while ((line = in.readLine()) != null && !line.equals("quit")) {
            if (line.equals("trigger")) {
                // The agent's controller, on the boot class path when the agent runs.
                Class.forName("com.orvane.agent.ControllerImpl")
                        .getMethod("triggerHeapDump", boolean.class, boolean.class, boolean.class, boolean.class)
                        .invoke(null, false, false, true, false);
                System.out.println("triggered");
                System.out.flush();
            }
            if (line.equals("drop")) {
                droppable = null;
                System.gc();
                System.out.println("dropped");
                System.out.flush();
            }
        }
        System.out.println("done " + (local.hashCode() != 0));
    }
}
