import java.io.File;

/**
 * Lists a directory many times: the JDK's native code makes each list's String[] through JNI's
 * NewObjectArray, which no bytecode does. Prints "ready", then on each line of its input lists
 * the directory 2000 times and prints "listed"; ends with its input.
 */
public class JniArrays {
    public static void main(String[] args) throws Exception {
        File dir = new File(args[0]);
        int names = 0;
        System.out.println("ready");
        System.out.flush();
        while (System.in.read() == '\n') {
            for (int i = 0; i < 2000; i++)
                names += dir.list().length;
            System.out.println("listed " + names);
            System.out.flush();
        }
    }
}
