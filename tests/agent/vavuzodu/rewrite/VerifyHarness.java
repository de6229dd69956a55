import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.Collections;
import java.util.List;
import java.util.stream.Stream;

// Loads, links and initialises every class below a directory in a loader of its
// own and prints one line per class: "OK name" or "FAIL name Error: message".
// Arguments: the directory, then optionally the class names to load (default all).
public final class VerifyHarness {
    static final class DirectoryLoader extends ClassLoader {
        private final Path root;

        DirectoryLoader(Path root) {
            super("rewritten", ClassLoader.getPlatformClassLoader());
            this.root = root;
        }

        @Override
        protected Class<?> findClass(String name) throws ClassNotFoundException {
            if (name.equals(VerifyHook.class.getName()))
                return VerifyHook.class;
            Path file = root.resolve(name.replace('.', '/') + ".class");
            try {
                byte[] bytes = Files.readAllBytes(file);
                return defineClass(name, bytes, 0, bytes.length);
            } catch (IOException e) {
                throw new ClassNotFoundException(name);
            }
        }
    }

    private static String firstLine(Throwable t) {
        String m = String.valueOf(t.getMessage());
        int nl = m.indexOf('\n');
        return t.getClass().getName() + ": " + (nl < 0 ? m : m.substring(0, nl));
    }

    public static void main(String[] args) throws IOException {
        Path root = Paths.get(args[0]);
        List<String> names = new ArrayList<>();
        for (int i = 1; i < args.length; i++)
            names.add(args[i]);
        if (names.isEmpty()) {
            try (Stream<Path> files = Files.walk(root)) {
                files.filter(p -> p.toString().endsWith(".class")).forEach(p -> {
                    String rel = root.relativize(p).toString();
                    if (rel.startsWith("META-INF") || rel.endsWith("module-info.class"))
                        return;
                    names.add(rel.substring(0, rel.length() - 6).replace('/', '.'));
                });
            }
            Collections.sort(names);
        }
        DirectoryLoader loader = new DirectoryLoader(root);
        StringBuilder out = new StringBuilder();
        for (String name : names) {
            try {
                Class<?> c = Class.forName(name, true, loader);
                c.getDeclaredMethods();
                out.append("OK ").append(name).append('\n');
            } catch (Throwable t) {
                out.append("FAIL ").append(name).append(' ').append(firstLine(t)).append('\n');
            }
        }
        out.append("HOOK-CALLS ").append(VerifyHook.calls).append('\n');
        System.out.print(out);
        System.out.flush();
    }
}
