import java.io.File;
import java.io.FileInputStream;
import java.io.FileOutputStream;

/**
 * File and thread probe calls under known callers. Once stdin closes: writeData opens the file named
 * by the first argument, writes 5 single bytes and closes it; readData opens it, reads 7 single bytes
 * and closes it; startWorkers starts 3 threads named "probe-worker-0" to "-2" and joins them. Prints
 * "done" and sleeps (the test ends the VM). With a second argument "thread" writeData and readData run
 * in a thread named "file-caller" that ends before startWorkers.
 */
public class FileProbes {
    static void writeData(File file) throws Exception {
        FileOutputStream out = new FileOutputStream(file);
        for (int i = 0; i < 5; i++) {
            out.write('a' + i);
        }
        out.close();
    }

    static int readData(File file) throws Exception {
        FileInputStream in = new FileInputStream(file);
        int sum = 0;
        for (int i = 0; i < 7; i++) {
            sum += in.read();
        }
        in.close();
        return sum;
    }

    static void startWorkers() throws Exception {
        Thread[] workers = new Thread[3];
        for (int i = 0; i < workers.length; i++) {
            workers[i] = new Thread(new Runnable() {
                @Override
                public void run() {
                }
            }, "probe-worker-" + i);
            workers[i].start();
        }
        for (Thread t : workers) {
            t.join();
        }
    }

    public static void main(String[] args) throws Exception {
        final File file = new File(args[0]);
        System.out.println("ready");
        System.out.flush();
        while (System.in.read() >= 0) {
        }
        final int[] sum = new int[1];
        Runnable fileCalls = new Runnable() {
            @Override
            public void run() {
                try {
                    writeData(file);
                    sum[0] = readData(file);
                } catch (Exception e) {
                    e.printStackTrace();
                }
            }
        };
        if (args.length > 1 && args[1].equals("thread")) {
            Thread caller = new Thread(fileCalls, "file-caller");
            caller.start();
            caller.join();
        } else {
            fileCalls.run();
        }
        startWorkers();
        System.out.println("done " + sum[0]);
        System.out.flush();
        Thread.sleep(60000);
    }
}
