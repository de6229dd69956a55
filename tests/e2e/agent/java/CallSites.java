import com.orvane.agent.probe.AnnotationHandler;

/**
 * Asks the agent for its call site twice from one method and once from another, after a line
 * of input, and prints "sites" with the three ids and method handles.
 */
public class CallSites {
    static AnnotationHandler.CallSite first() {
        return AnnotationHandler.getCallSite(0);
    }

    static AnnotationHandler.CallSite second() {
        return AnnotationHandler.getCallSite(0);
    }

    public static void main(String[] args) throws Exception {
        System.out.println("ready");
        System.out.flush();
        System.in.read();
        AnnotationHandler.CallSite[] sites = {first(), first(), second()};
        StringBuilder line = new StringBuilder("sites");
        for (AnnotationHandler.CallSite site : sites)
            line.append(' ').append(site == null ? "null" : site.id + ":" + site.method);
        System.out.println(line);
    }
}
