import com.google.common.base.Joiner;
import com.google.common.base.Splitter;
import com.google.common.cache.CacheBuilder;
import com.google.common.cache.CacheLoader;
import com.google.common.cache.LoadingCache;
import com.google.common.collect.ArrayListMultimap;
import com.google.common.collect.ImmutableSortedMap;
import com.google.common.collect.Lists;
import com.google.common.collect.Multimap;
import com.google.common.collect.Ordering;
import com.google.common.hash.Hashing;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.List;
import org.apache.commons.lang3.ArrayUtils;
import org.apache.commons.lang3.StringUtils;
import org.apache.commons.lang3.math.NumberUtils;
import org.apache.commons.lang3.text.WordUtils;

/** Real library code (commons-lang3, guava) with a deterministic result, for the instrumentation tests. */
public class LibraryWorkload {
    public static void main(String[] args) throws Exception {
        int rounds = args.length > 0 ? Integer.parseInt(args[0]) : 200;
        List<String> words = new ArrayList<String>();
        for (int i = 0; i < 500; i++) {
            words.add(StringUtils.leftPad(Integer.toString(i * 7919 % 1000), 4, '0') + "-" + StringUtils.repeat('x', i % 5));
        }
        long checksum = 0;
        for (int r = 0; r < rounds; r++) {
            String joined = Joiner.on(',').skipNulls().join(words);
            List<String> split = Splitter.on(',').trimResults().omitEmptyStrings().splitToList(joined);
            Multimap<Integer, String> byLength = ArrayListMultimap.create();
            for (String w : split) {
                byLength.put(w.length(), StringUtils.reverse(w));
            }
            List<String> sorted = Ordering.natural().sortedCopy(byLength.values());
            checksum += sorted.get(r % sorted.size()).hashCode();
            checksum += NumberUtils.toInt(StringUtils.substringBefore(sorted.get(0), "-"), -1);
            int[] numbers = ArrayUtils.toPrimitive(new Integer[] {r, r + 1, r + 2});
            checksum += ArrayUtils.indexOf(numbers, r + 2);
            checksum += Lists.partition(split, 7).size();
        }
        LoadingCache<Integer, String> cache = CacheBuilder.newBuilder().maximumSize(100).build(new CacheLoader<Integer, String>() {
            @Override
            public String load(Integer key) {
                return WordUtils.capitalize("value number " + key);
            }
        });
        for (int i = 0; i < 1000; i++) {
            checksum += cache.getUnchecked(i % 150).length();
        }
        ImmutableSortedMap<String, Integer> counts = ImmutableSortedMap.of("a", 1, "b", 2, "c", 3);
        System.out.println("counts " + counts);
        System.out.println("abbrev " + StringUtils.abbreviate("The quick brown fox jumps over the lazy dog", 20));
        System.out.println("sha256 " + Hashing.sha256().hashString(Joiner.on('|').join(words), StandardCharsets.UTF_8));
        System.out.println("checksum " + checksum);
    }
}
