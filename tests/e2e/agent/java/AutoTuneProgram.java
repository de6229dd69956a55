import com.orvane.agent.java.Transformer;
import java.util.Arrays;

/**
 * A method called very often with almost no time per call next to one called rarely with a lot of time
 * per call; then asks the agent which methods auto-tuning picks.
 */
public class AutoTuneProgram {
    static int tinyCalls;

    static int tiny(int x) {
        tinyCalls++;
        for (int j = 0; j < 40; j++) {
            x = x * 31 + j;
        }
        return x;
    }

    static long slow(int rounds) throws InterruptedException {
        long sum = 0;
        for (int i = 0; i < rounds; i++) {
            sum += Long.toString(i).hashCode();
        }
        Thread.sleep(2);
        return sum;
    }

    public static void main(String[] args) throws Exception {
        long total = 0;
        for (int i = 0; i < 200000; i++) {
            total += tiny(i);
        }
        for (int i = 0; i < 5; i++) {
            total += slow(20000);
        }
        System.out.println("ran " + (total != 0) + " " + tinyCalls);
        System.out.println("autotune " + Transformer.isAutoTune());
        String[] picked = Transformer.autoTune0();
        System.out.println("picked " + (picked == null ? "none" : Arrays.toString(picked)));
        String[] again = Transformer.autoTune0();
        System.out.println("picked again " + (again == null ? "none" : Arrays.toString(again)));
        System.out.println("done");
        while (System.in.read() >= 0) {
        }
    }
}
