import com.orvane.agent.Agent;

/** Asks the agent to rewrite a loaded class again, and an array class, which no VM lets it change. */
public class RetransformCheck {
    static int work(int x) {
        return x * 3;
    }

    public static void main(String[] args) throws Exception {
        System.out.println("before " + work(1));
        Agent.retransform(RetransformCheck.class);
        Agent.retransform(int[].class);
        Agent.retransform(null);
        System.out.println("after " + work(2));
        System.out.flush();
        while (System.in.read() >= 0) {
        }
    }
}
