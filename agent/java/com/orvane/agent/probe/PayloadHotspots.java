package com.orvane.agent.probe;

import java.io.ByteArrayOutputStream;
import java.io.DataOutputStream;
import java.io.IOException;
import java.util.ArrayList;
import java.util.Collections;
import java.util.Comparator;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;

/**
 * The probe hotspots: the payloads of a probe ranked by their time, each with the view nodes its calls
 * came from. The native agent hands over, per view node of the probe view, the annotation ids found
 * there (nodes as ids it resolves again itself), then asks for the list and for the origins of single
 * hotspots.
 */
public final class PayloadHotspots {
    private static final PayloadHotspots INSTANCE = new PayloadHotspots();
    private static final int MAX_HOTSPOTS = 0xffff;

    private static final class Hotspot {
        final String payload;
        long time;
        long count;
        /** Per node id: {time, count}. */
        final Map<Long, long[]> origins = new LinkedHashMap<Long, long[]>();

        Hotspot(String payload) {
            this.payload = payload;
        }

        void add(long node, long calls, long micros) {
            time += micros;
            count += calls;
            long[] origin = origins.get(Long.valueOf(node));
            if (origin == null) {
                origin = new long[2];
                origins.put(Long.valueOf(node), origin);
            }
            origin[0] += micros;
            origin[1] += calls;
        }
    }

    private final Map<String, Hotspot> hotspots = new LinkedHashMap<String, Hotspot>();
    private List<Hotspot> ranked = new ArrayList<Hotspot>();

    private PayloadHotspots() {
    }

    public static PayloadHotspots getPayloadHotspots() {
        return INSTANCE;
    }

    /** Forgets what was collected (before the view is built again). */
    public synchronized void reset(JavaCollector collector, boolean all) {
        hotspots.clear();
        ranked = new ArrayList<Hotspot>();
    }

    /** The calls behind `ids` (annotation ids found on view node `node`) join their payloads' hotspots. */
    public synchronized void addPayload(JavaCollector collector, String probe, long node, long[] ids) {
        if (ids == null) {
            return;
        }
        for (ProbeEvents.Row row : ProbeEvents.rows(probe)) {
            for (long id : ids) {
                if (row.id != 0 && row.id == (int) id) {
                    hotspot(row.payload).add(node, row.count, row.time);
                    break;
                }
            }
        }
    }

    /**
     * The calls whose call site was not recorded, of the selected threads (null: all), join their
     * hotspots without a node.
     */
    public synchronized void addUnrecorded(JavaCollector collector, String probe, long[] threads) {
        for (ProbeEvents.Row row : ProbeEvents.rows(probe)) {
            if (row.id != 0) {
                continue;
            }
            boolean selected = threads == null;
            for (int i = 0; !selected && i < threads.length; i++) {
                selected = threads[i] == row.thread;
            }
            if (selected) {
                hotspot(row.payload).add(0L, row.count, row.time);
            }
        }
    }

    /**
     * The hotspot list: U2 n, n x (UTF payload, JLong time in microseconds, U4 calls), the largest
     * time first; the index in this list names a hotspot for getHotspotOrigins.
     */
    public synchronized byte[] getHotspotRootsBytes(int valueKind) {
        List<Hotspot> list = new ArrayList<Hotspot>(hotspots.values());
        Collections.sort(list, new Comparator<Hotspot>() {
            @Override
            public int compare(Hotspot a, Hotspot b) {
                if (a.time != b.time) {
                    return a.time > b.time ? -1 : 1;
                }
                return a.payload.compareTo(b.payload);
            }
        });
        if (list.size() > MAX_HOTSPOTS) {
            list = new ArrayList<Hotspot>(list.subList(0, MAX_HOTSPOTS));
        }
        ranked = list;
        ByteArrayOutputStream bytes = new ByteArrayOutputStream();
        DataOutputStream out = new DataOutputStream(bytes);
        try {
            out.writeShort(list.size());
            for (Hotspot h : list) {
                out.writeUTF(h.payload);
                out.writeLong(h.time);
                out.writeInt((int) Math.min(h.count, 0xffffffffL));
            }
            out.flush();
        } catch (IOException cannotHappen) {
            return null;
        }
        return bytes.toByteArray();
    }

    /** The origins of hotspot `index` of the last list: {node ids, times, counts}; empty arrays when unknown. */
    public synchronized long[][] getHotspotOrigins(int index, int valueKind) {
        if (index < 0 || index >= ranked.size()) {
            return new long[][] {new long[0], new long[0], new long[0]};
        }
        Hotspot h = ranked.get(index);
        long[] nodes = new long[h.origins.size()];
        long[] times = new long[nodes.length];
        long[] counts = new long[nodes.length];
        int i = 0;
        for (Map.Entry<Long, long[]> e : h.origins.entrySet()) {
            nodes[i] = e.getKey().longValue();
            times[i] = e.getValue()[0];
            counts[i] = e.getValue()[1];
            i++;
        }
        return new long[][] {nodes, times, counts};
    }

    private Hotspot hotspot(String payload) {
        Hotspot h = hotspots.get(payload);
        if (h == null) {
            h = new Hotspot(payload);
            hotspots.put(payload, h);
        }
        return h;
    }
}
