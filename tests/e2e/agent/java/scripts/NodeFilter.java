/** A boolean script for the evaluation commands: true for list nodes, an exception for markers. */
public class NodeFilter {
    public static boolean evaluate(Object o) {
        String name = o.getClass().getName();
        if (name.endsWith("Marker")) {
            throw new IllegalStateException("markers are refused");
        }
        return name.endsWith("DumpNode");
    }
}
