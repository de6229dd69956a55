import java.io.IOException;
import java.nio.file.Path;
import java.nio.file.Paths;

// Loads, links and initialises every class below a directory in a loader of its
// own and prints one line per class: "OK name" or "FAIL name Error: message".
// Arguments: the directory, then optionally the class names to load (default all).
public final class VerifyHarness {
    public static void main(String[] args) throws IOException {
        Path root = Paths.get(args[0]);
        ClassLoader loader = new RewrittenClasses.DirectoryLoader(root, name -> name.equals(VerifyHook.class.getName()));
        StringBuilder out = new StringBuilder();
        RewrittenClasses.loadEach(loader, RewrittenClasses.classNames(root, args, 1), out);
        out.append("HOOK-CALLS ").append(VerifyHook.calls).append('\n');
        System.out.print(out);
        System.out.flush();
    }
}
