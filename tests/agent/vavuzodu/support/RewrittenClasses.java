import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Collections;
import java.util.List;
import java.util.function.Predicate;
import java.util.stream.Stream;

// Shared by the harnesses that load rewritten classes: a loader of their own
// for the classes below a directory, and a pass that loads, links and
// initialises them, one line per class: "OK name" or "FAIL name Error: message".
final class RewrittenClasses {
    private RewrittenClasses() {}

    // Defines the classes below root; the classes the harness supplies (its
    // hooks) come from the harness's own loader.
    static final class DirectoryLoader extends ClassLoader {
        private final Path root;
        private final Predicate<String> fromHarness;

        DirectoryLoader(Path root, Predicate<String> fromHarness) {
            super("rewritten", ClassLoader.getPlatformClassLoader());
            this.root = root;
            this.fromHarness = fromHarness;
        }

        @Override
        protected Class<?> findClass(String name) throws ClassNotFoundException {
            if (fromHarness.test(name))
                return RewrittenClasses.class.getClassLoader().loadClass(name);
            Path file = root.resolve(name.replace('.', '/') + ".class");
            try {
                byte[] bytes = Files.readAllBytes(file);
                return defineClass(name, bytes, 0, bytes.length);
            } catch (IOException e) {
                throw new ClassNotFoundException(name);
            }
        }
    }

    static String firstLine(Throwable t) {
        String m = String.valueOf(t.getMessage());
        int nl = m.indexOf('\n');
        return t.getClass().getName() + ": " + (nl < 0 ? m : m.substring(0, nl));
    }

    // args[from..] when given, else every class below root (sorted), leaving
    // out META-INF and module-info.
    static List<String> classNames(Path root, String[] args, int from) throws IOException {
        List<String> names = new ArrayList<>();
        for (int i = from; i < args.length; i++)
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
        return names;
    }

    static void loadEach(ClassLoader loader, List<String> names, StringBuilder out) {
        for (String name : names) {
            try {
                Class<?> c = Class.forName(name, true, loader);
                c.getDeclaredMethods();
                out.append("OK ").append(name).append('\n');
            } catch (Throwable t) {
                out.append("FAIL ").append(name).append(' ').append(firstLine(t)).append('\n');
            }
        }
    }
}
