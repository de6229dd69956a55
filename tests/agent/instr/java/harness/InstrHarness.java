import java.lang.reflect.InvocationTargetException;
import java.lang.reflect.Method;
import java.nio.file.Path;
import java.nio.file.Paths;

import com.orvane.agent.InstrumentationCallee;

// Loads rewritten classes in a loader of their own, with the hook classes of
// this class path. "load <dir> [names]": loads, links and initialises every
// class and prints "OK name" or "FAIL name Error: message". "run <dir> <main>":
// runs the main class. Both end with the hooks' report after "=== HOOKS".
public final class InstrHarness {
    public static void main(String[] args) throws Exception {
        Path root = Paths.get(args[1]);
        ClassLoader loader = new RewrittenClasses.DirectoryLoader(root, name -> name.startsWith("com.orvane.agent."));
        if (args[0].equals("run")) {
            Method main = Class.forName(args[2], true, loader).getMethod("main", String[].class);
            try {
                main.invoke(null, (Object) new String[0]);
            } catch (InvocationTargetException e) {
                System.out.println("MAIN-FAILED " + RewrittenClasses.firstLine(e.getCause()));
            }
            System.out.flush();
            System.out.print("=== HOOKS\n" + InstrumentationCallee.report());
            System.out.flush();
            return;
        }
        StringBuilder out = new StringBuilder();
        RewrittenClasses.loadEach(loader, RewrittenClasses.classNames(root, args, 2), out);
        System.out.print(out);
        System.out.print("=== HOOKS\n" + InstrumentationCallee.report());
        System.out.flush();
    }
}
