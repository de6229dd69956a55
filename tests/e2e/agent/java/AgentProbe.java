import java.io.BufferedReader;
import java.io.File;
import java.io.FileInputStream;
import java.io.InputStream;
import java.io.InputStreamReader;
import java.nio.file.Files;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.zip.CRC32;

/** A small application for the agent start-up tests: reports what the agent changed in this VM. */
public class AgentProbe {
    public static void main(String[] args) throws Exception {
        System.out.println("main started");
        if (java.util.Arrays.asList(args).contains("plain-hold")) {
            // Without the agent: only holds until the input ends, as "hold" does.
            hold();
            System.out.println("main done");
            return;
        }
        boolean waitForAttach = args.length > 0 && args[0].equals("wait-for-attach");
        boolean hold = java.util.Arrays.asList(args).contains("hold");
        if (waitForAttach) {
            waitForAgentClasses();
        }
        Class<?> agentClass = Class.forName("com.orvane.agent.Agent", false, null);
        System.out.println("agent loader: " + agentClass.getClassLoader());
        File[] temporary = new File(System.getenv("TMPDIR")).listFiles();
        for (File archive : temporary != null ? temporary : new File[0]) {
            if (archive.getName().startsWith("jag")) {
                System.out.println("archive: " + archive.getName() + " size " + archive.length() + " crc " + crc(archive)
                        + " mode " + PosixFilePermissions.toString(Files.getPosixFilePermissions(archive.toPath())));
            }
        }
        Process child = new ProcessBuilder("sh", "-c", "echo child ORVANE_JVMTI=$ORVANE_JVMTI").redirectErrorStream(true).start();
        System.out.println(new BufferedReader(new InputStreamReader(child.getInputStream())).readLine());
        child.waitFor();
        if (waitForAttach) {
            Class<?> manager = Class.forName("com.orvane.agent.AttachManager", true, null);
            System.out.println("attach location: " + manager.getMethod("getLibraryLocation").invoke(null));
        }
        if (hold) {
            hold();
        }
        System.out.println("main done");
    }

    private static void hold() throws Exception {
        long before = System.nanoTime();
        Thread.sleep(50);
        System.out.println("slept " + (System.nanoTime() - before) / 1000000 + " ms");
        System.out.println("holding");
        InputStream in = System.in;
        while (in.read() >= 0) {
        }
    }

    private static void waitForAgentClasses() throws InterruptedException {
        for (int i = 0; i < 300; i++) {
            try {
                Class.forName("com.orvane.agent.Agent", false, null);
                return;
            } catch (ClassNotFoundException notYet) {
                Thread.sleep(100);
            }
        }
        System.out.println("agent classes never appeared");
    }

    private static String crc(File file) throws Exception {
        CRC32 crc = new CRC32();
        try (InputStream in = new FileInputStream(file)) {
            byte[] buffer = new byte[8192];
            for (int n; (n = in.read(buffer)) > 0;) {
                crc.update(buffer, 0, n);
            }
        }
        return Long.toHexString(crc.getValue());
    }
}
