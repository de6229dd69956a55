import javax.tools.ToolProvider;

/** Runs javac in this VM with the given arguments, prints its exit code and waits for the end of standard input. */
public class JavacRunner {
    public static void main(String[] args) throws Exception {
        int code = ToolProvider.getSystemJavaCompiler().run(null, null, null, args);
        System.out.println("javac exit " + code);
        System.out.flush();
        while (System.in.read() >= 0) {
        }
    }
}
