import java.io.IOException;
import java.lang.reflect.InvocationTargetException;
import java.lang.reflect.Method;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.Collections;
import java.util.List;
import java.util.stream.Stream;

import com.orvane.agent.InstrumentationCallee;

// Loads rewritten classes in a loader of their own, with the hook classes of
// this class path. "load <dir> [names]": loads, links and initialises every
// class and prints "OK name" or "FAIL name Error: message". "run <dir> <main>":
// runs the main class. Both end with the hooks' report after "=== HOOKS".
public final class InstrHarness {
    static final class DirectoryLoader extends ClassLoader {
        private final Path root;

        DirectoryLoader(Path root) {
            super("rewritten", ClassLoader.getPlatformClassLoader());
            this.root = root;
        }

        @Override
        protected Class<?> findClass(String name) throws ClassNotFoundException {
            if (name.startsWith("com.orvane.agent."))
                return InstrHarness.class.getClassLoader().loadClass(name);
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

    public static void main(String[] args) throws Exception {
        Path root = Paths.get(args[1]);
        DirectoryLoader loader = new DirectoryLoader(root);
        if (args[0].equals("run")) {
            Method main = Class.forName(args[2], true, loader).getMethod("main", String[].class);
            try {
                main.invoke(null, (Object) new String[0]);
            } catch (InvocationTargetException e) {
                System.out.println("MAIN-FAILED " + firstLine(e.getCause()));
            }
            System.out.flush();
            System.out.print("=== HOOKS\n" + InstrumentationCallee.report());
            System.out.flush();
            return;
        }
        List<String> names = new ArrayList<>();
        for (int i = 2; i < args.length; i++)
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
        System.out.print(out);
        System.out.print("=== HOOKS\n" + InstrumentationCallee.report());
        System.out.flush();
    }
}
