#ifndef AGENT_CPUPROFILINGSESSIONPRIVATE_H
#define AGENT_CPUPROFILINGSESSIONPRIVATE_H

// What the files of CpuProfilingSession share: the core (hooks, stacks,
// exceptional runs), the views, the thread dumps and the call tracer.

#include <cstdint>
#include <cstring>
#include <vector>

#include "CSTMergeVisitor.h"
#include "CallStackTree.h"
#include "CpuProfilingSession.h"
#include "DataReader.h"
#include "DataWriter.h"
#include "MethodDesc.h"

// The common part of the view requests and the trees built for it. Every
// tree comes from the request's own pool and is freed with it.
struct CpuProfilingSession::ViewRequest {
    bool regenerate = false;
    int aggregationLevel = 0;
    std::vector<void *> threads;
    CallStackTree *selection = nullptr;
    uint32_t annotationId = 0;
    int valueKind = CSTMergeVisitor::KIND_CPU;
    InstancePool<CallStackTree> pool;
    std::vector<CallStackTree *> trees;
    // Probe annotation ids per node of the view tree.
    AnnotationMap annotations;

    ~ViewRequest()
    {
        for (CallStackTree *t : trees)
            t->freeAll(&pool);
    }
    CallStackTree *newTree()
    {
        CallStackTree *t = pool.getInstance(false);
        t->initialize(nullptr, nullptr, nullptr, 0);
        trees.push_back(t);
        return t;
    }
    void read(DataReader *reader)
    {
        regenerate = reader->readByte(0) != 0;
        aggregationLevel = static_cast<int>(reader->readU4(0));
        int threadCount = reader->readU2(0);
        for (int i = 0; i < threadCount && !reader->getError(); i++)
            threads.push_back(reader->readID(nullptr));
        if (reader->readByte(0) == 1) {
            // Method IDs of the selection are only compared, never followed.
            selection = newTree();
            reader->enableIDUpdate(false, DataWriter::ID_SIZE);
            selection->read(reader, CallStackTree::ENTRY_METHOD | CallStackTree::ENTRY_LINE | CallStackTree::ENTRY_UPDATE_AT_ONCE, &pool,
                            36);
        }
        int pathLength = reader->readU2(0);
        for (int i = 0; i < pathLength && !reader->getError(); i++) {
            reader->readID(nullptr);
            reader->readU2(0);
        }
        annotationId = reader->readU4(0);
        valueKind = static_cast<int>(reader->readU4(0));
        if (valueKind < CSTMergeVisitor::KIND_CPU || valueKind > CSTMergeVisitor::KIND_NET_IO)
            valueKind = CSTMergeVisitor::KIND_CPU;
    }
};

// One method's share of a view: its self time and calls over every node.
struct ViewHotspot {
    MethodDesc *method;
    long long value;
    uint32_t calls;
};

inline bool named(const MethodDesc *method, const char *name)
{
    return strcmp(method->getMethodName(), name) == 0;
}

inline bool isConstructor(const MethodDesc *method)
{
    return named(method, "<init>");
}

#endif
