import java.io.File;

/** Runs on jvmpihost's own thread and waits there until the file its argument names exists. */
public class PiHostWait {
    static void waitFor(File release) throws InterruptedException {
        System.out.println("waiting");
        while (!release.exists()) {
            Thread.sleep(10);
        }
    }

    public static void main(String[] args) throws InterruptedException {
        waitFor(new File(args[0]));
        System.out.println("released");
    }
}
