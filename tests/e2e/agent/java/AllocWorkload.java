import com.orvane.agent.ControllerImpl;
import com.orvane.agent.InstrumentationCallee;
import com.orvane.agent.java.CobaltRecorder;
import com.orvane.agent.java.Transformer;
import java.io.BufferedReader;
import java.io.InputStreamReader;

/**
 * A program that allocates known numbers of objects of its own classes and arrays of every primitive
 * type from known places, for the allocation recording tests. It calls the agent's entry and exit hooks
 * itself, as instrumented code does, with the hook ids of its classes' own nodes. Each line on standard
 * input runs the next step: "alloc", "drop", "widgets <n>" (n more widgets, all kept), "dropwidgets" (those
 * widgets go), "stop" and "start" (recording through the API, kept data), "save <path>", "recorder <path>"
 * (a recorder snapshot), "quit".
 */
public class AllocWorkload {
    static class Widget {
        int value;
    }

    static class Gadget {
        long a;
        long b;
        long c;
    }

    static class Maker {
    }

    static class ArrayMaker {
    }

    static Object[] kept = new Object[64];
    static java.util.List<Widget> keptWidgets = new java.util.ArrayList<>();
    static int mainId;
    static int makerId;
    static int arrayMakerId;

    static void makeWidgets(int n) {
        InstrumentationCallee.enterMethod(makerId, (short) 0, false, 0L, true);
        try {
            for (int i = 0; i < n; i++) {
                kept[i] = new Widget();
            }
            for (int i = 0; i < 4; i++) {
                kept[20 + i] = new Gadget();
            }
        } finally {
            InstrumentationCallee.exitMethod(makerId, 0L);
        }
    }

    static void makeArrays() {
        InstrumentationCallee.enterMethod(arrayMakerId, (short) 0, false, 0L, true);
        try {
            kept[30] = new boolean[3];
            kept[31] = new byte[5];
            kept[32] = new char[7];
            kept[33] = new short[9];
            kept[34] = new int[11];
            kept[35] = new long[13];
            kept[36] = new float[15];
            kept[37] = new double[17];
            kept[38] = new Widget[19];
        } finally {
            InstrumentationCallee.exitMethod(arrayMakerId, 0L);
        }
    }

    public static void main(String[] args) throws Exception {
        new Maker();
        new ArrayMaker();
        mainId = Transformer.getMethodId0("AllocWorkload");
        makerId = Transformer.getMethodId0("AllocWorkload$Maker");
        arrayMakerId = Transformer.getMethodId0("AllocWorkload$ArrayMaker");
        // The first hook of a thread only learns the thread's stack.
        InstrumentationCallee.enterMethod(mainId, (short) 0, false, 0L, true);
        BufferedReader in = new BufferedReader(new InputStreamReader(System.in));
        System.out.println("ready");
        for (String line; (line = in.readLine()) != null;) {
            if (line.equals("alloc")) {
                InstrumentationCallee.enterMethod(mainId, (short) 0, false, 0L, true);
                makeWidgets(7);
                makeArrays();
                InstrumentationCallee.exitMethod(mainId, 0L);
                System.out.println("allocated");
            } else if (line.equals("drop")) {
                for (int i = 0; i < 7; i++) {
                    kept[i] = null;
                }
                kept[31] = null;
                for (int i = 0; i < 5; i++) {
                    System.gc();
                    Thread.sleep(20);
                }
                System.out.println("dropped");
            } else if (line.startsWith("widgets ")) {
                int n = Integer.parseInt(line.substring(8));
                for (int i = 0; i < n; i++) {
                    keptWidgets.add(new Widget());
                }
                System.out.println("widgets " + keptWidgets.size());
            } else if (line.equals("dropwidgets")) {
                keptWidgets.clear();
                for (int i = 0; i < 5; i++) {
                    System.gc();
                    Thread.sleep(20);
                }
                System.out.println("widgets dropped");
            } else if (line.equals("stop")) {
                ControllerImpl.stopAllocRecording();
                System.out.println("stopped");
            } else if (line.equals("start")) {
                ControllerImpl.startAllocRecording(false);
                System.out.println("started");
            } else if (line.startsWith("save ")) {
                ControllerImpl.saveSnapshot(line.substring(5));
                System.out.println("saved");
            } else if (line.startsWith("recorder ")) {
                int saved = CobaltRecorder.createCobaltSnapshot(line.substring(9).getBytes("UTF-8"), null, true,
                        new Object[] {"not", Integer.valueOf(1)});
                System.out.println("recorded " + saved);
            } else if (line.equals("quit")) {
                break;
            }
        }
    }
}
