import java.io.BufferedReader;
import java.io.InputStreamReader;

/**
 * A method called very often with almost no time per call (tiny, through batch) next to one called
 * rarely with a lot of time per call; each line "again" on standard input runs the batches once more,
 * each line "probe" calls tiny a thousand times.
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

    static long batch(int base) {
        long sum = 0;
        for (int i = 0; i < 1000; i++) {
            sum += tiny(base + i);
        }
        return sum;
    }

    static long slow(int rounds) throws InterruptedException {
        long sum = 0;
        for (int i = 0; i < rounds; i++) {
            sum += Long.toString(i).hashCode();
        }
        Thread.sleep(2);
        return sum;
    }

    static long batches() {
        long total = 0;
        for (int b = 0; b < 200; b++) {
            total += batch(b * 1000);
        }
        return total;
    }

    public static void main(String[] args) throws Exception {
        long total = batches();
        for (int i = 0; i < 5; i++) {
            total += slow(20000);
        }
        System.out.println("ran " + (total != 0) + " " + tinyCalls);
        BufferedReader in = new BufferedReader(new InputStreamReader(System.in));
        for (String line; (line = in.readLine()) != null;) {
            if (line.equals("again")) {
                total += batches();
                System.out.println("again " + tinyCalls);
            } else if (line.equals("probe")) {
                for (int i = 0; i < 1000; i++) {
                    total += tiny(i);
                }
                System.out.println("probed " + tinyCalls);
            }
        }
        System.out.println("done " + (total != 0));
    }
}
