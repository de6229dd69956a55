import java.io.File;
import java.io.FileInputStream;
import java.io.FileOutputStream;
import java.io.RandomAccessFile;

/**
 * File and thread probe calls under known callers. Once stdin closes: writeData opens the file named
 * by the first argument, writes 5 single bytes and closes it; readData opens it, reads 7 single bytes
 * and closes it; startWorkers starts 3 threads named "probe-worker-0" to "-2" and joins them. Prints
 * "done" and sleeps (the test ends the VM). With a second argument "thread" writeData and readData run
 * in a thread named "file-caller" that ends before startWorkers. With a second argument "bulk" the
 * file calls are bulk ones instead: writeBulk opens the file, writes a byte array whole and in part
 * and closes it (4 calls); readBulk opens it, reads into an array whole and in part and closes it
 * (4 calls); randomAccess opens the file named by the first argument followed by ".raf" as a
 * RandomAccessFile, writes an array whole and in part and one byte, seeks back, reads into an array
 * whole and in part and one byte, and closes it (8 calls).
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

    static void writeBulk(File file) throws Exception {
        FileOutputStream out = new FileOutputStream(file);
        byte[] bytes = {1, 2, 3, 4};
        out.write(bytes);
        out.write(bytes, 1, 2);
        out.close();
    }

    static int readBulk(File file) throws Exception {
        FileInputStream in = new FileInputStream(file);
        byte[] buffer = new byte[4];
        int n = in.read(buffer);
        n += in.read(buffer, 0, 2);
        in.close();
        return n;
    }

    static int randomAccess(File file) throws Exception {
        RandomAccessFile raf = new RandomAccessFile(file, "rw");
        byte[] bytes = {5, 6, 7};
        raf.write(bytes);
        raf.write(bytes, 0, 2);
        raf.write(8);
        raf.seek(0);
        byte[] buffer = new byte[3];
        int n = raf.read(buffer);
        n += raf.read(buffer, 0, 2);
        n += raf.read() >= 0 ? 1 : 0;
        raf.close();
        return n;
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
        if (args.length > 1 && args[1].equals("bulk")) {
            writeBulk(file);
            sum[0] = readBulk(file) + randomAccess(new File(args[0] + ".raf"));
        } else if (args.length > 1 && args[1].equals("thread")) {
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
