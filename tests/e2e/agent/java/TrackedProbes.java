import com.orvane.agent.Agent;
import java.io.BufferedReader;
import java.io.InputStreamReader;
import java.util.Arrays;

/** Prints the probe ids the agent's Java side tracks, once per input line, until the input ends. */
public class TrackedProbes {
    public static void main(String[] args) throws Exception {
        System.out.println("ready");
        BufferedReader in = new BufferedReader(new InputStreamReader(System.in));
        String line;
        while ((line = in.readLine()) != null) {
            System.out.println(line + " " + Arrays.toString(Agent.getTracking()));
        }
        System.out.println("done");
    }
}
