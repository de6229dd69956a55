import java.io.BufferedReader;
import java.io.InputStreamReader;

/** A heap of about a million objects for the heap dump benchmark: a list of small nodes with an int[] each tenth. */
public class MillionObjects {
    static class Item {
        Item next;
        int value;
        Object payload;
    }

    static Item head;

    public static void main(String[] args) throws Exception {
        for (int i = 0; i < 1000000; i++) {
            Item item = new Item();
            item.value = i;
            item.next = head;
            if (i % 10 == 0) {
                item.payload = new int[8];
            }
            head = item;
        }
        System.out.println("ready");
        System.out.flush();
        BufferedReader in = new BufferedReader(new InputStreamReader(System.in));
        while (in.readLine() != null) {
        }
    }
}
