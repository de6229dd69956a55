package instrprog;

import java.io.FileOutputStream;

/**
 * One method run five times, each run writing one byte to its own file ("run-<ms>" in the directory
 * of the first argument) and then sleeping a different time (20, 200, 120, 60 and 160 ms in this
 * order); main prints "done" with the number of runs and waits for the end of standard input.
 */
public class SlowRuns {
    static final int[] MILLIS = {20, 200, 120, 60, 160};

    static int run(String directory, int millis) throws Exception {
        FileOutputStream out = new FileOutputStream(directory + "/run-" + millis);
        try {
            out.write(millis);
        } finally {
            out.close();
        }
        Thread.sleep(millis);
        return 1;
    }

    public static void main(String[] args) throws Exception {
        int runs = 0;
        for (int millis : MILLIS) {
            runs += run(args[0], millis);
        }
        System.out.println("done " + runs);
        System.out.flush();
        while (System.in.read() >= 0) {
        }
    }
}
