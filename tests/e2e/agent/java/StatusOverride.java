import com.orvane.agent.Agent;

/**
 * A thread "overridden" that computes while it tells the agent that it waits (status override 2);
 * it prints "overriding" and goes on until a line (or the end) of the input, then ends the
 * override and the program.
 */
public class StatusOverride {
    static volatile boolean stop;
    static double sink;

    public static void main(String[] args) throws Exception {
        Thread overridden = new Thread(() -> {
            Agent.setOverrideThreadStatus(2);
            System.out.println("overriding");
            System.out.flush();
            while (!stop) {
                for (int i = 1; i < 100000; i++)
                    sink += Math.sqrt(i);
            }
            Agent.resetOverrideThreadStatus();
        }, "overridden");
        overridden.start();
        System.in.read();
        stop = true;
        overridden.join();
        System.out.println("done");
    }
}
