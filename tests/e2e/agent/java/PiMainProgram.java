/** A main class for piagent's class rewriting: it says what the rewritten start-up calls saw. */
public class PiMainProgram {
    static int started;

    static {
        started = 1;
    }

    /** A class without main: piagent leaves it as it is. */
    static class Helper {
        static String greet(String name) {
            return "hello " + name;
        }
    }

    public static void main(String[] args) {
        System.out.println("main class " + com.orvane.agent.Agent.getMainClassName() + ", " + args.length + " arguments, "
                + Helper.greet("there") + ", started " + started);
    }
}
