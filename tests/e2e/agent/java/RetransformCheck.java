import com.orvane.agent.Agent;

/**
 * Asks the agent to rewrite a loaded class again, java.lang.Object (every constructor then runs the
 * agent's code), and an array class, which no VM lets it change.
 */
public class RetransformCheck {
    static int work(int x) {
        return x * 3;
    }

    public static void main(String[] args) throws Exception {
        System.out.println("before " + work(1));
        Agent.retransform(RetransformCheck.class);
        Agent.retransform(Object.class);
        Object[] made = new Object[1000];
        for (int i = 0; i < made.length; i++) {
            made[i] = new Object();
        }
        Agent.retransform(int[].class);
        Agent.retransform(null);
        System.out.println("after " + work(2) + " " + made.length);
        System.out.flush();
        while (System.in.read() >= 0) {
        }
    }
}
