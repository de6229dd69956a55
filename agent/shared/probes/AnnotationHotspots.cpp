#include "AnnotationHotspots.h"

#include <string>

#include "DataReader.h"
#include "DataWriter.h"
#include "PayloadHotspots.h"
#include "ProbeNodeIds.h"

namespace {

const int BACKTRACE_FLAGS = CallStackTree::ENTRY_METHOD | CallStackTree::ENTRY_LINE | CallStackTree::ENTRY_VALUE |
                            CallStackTree::ENTRY_COUNT;

CallStackTree *newRoot(InstancePool<CallStackTree> *pool)
{
    CallStackTree *root = pool->getInstance(false);
    root->initialize(nullptr, nullptr, nullptr, 0);
    return root;
}

} // namespace

void AnnotationHotspots::addBackTrace(CallStackTree *target, const CallStackTree *node, long long time, long long count,
                                      InstancePool<CallStackTree> *pool)
{
    CallStackTree *cursor = target;
    for (const CallStackTree *n = node; n != nullptr && n->getParent() != nullptr; n = n->getParent()) {
        CallStackTree *child = cursor->getChild(n->getMethod(), n->getLineHint());
        cursor = child != nullptr ? child : cursor->addChild(n->getMethod(), n->getLineHint(), pool);
        cursor->addValue(time, false);
        cursor->addSecondValue(static_cast<uint32_t>(count), false);
    }
}

void AnnotationHotspots::writeHotspots(DataWriter *writer, DataReader *reader, CallStackTree *viewTree,
                                       const std::vector<ThreadManager *> &selectedThreads, const AnnotationMap &annotations,
                                       InstancePool<CallStackTree> *pool, bool regenerated, int valueKind, PayloadHotspots *javaSide,
                                       ProbeNodeIds *nodeIds)
{
    char *name = reader->readString(nullptr);
    std::string probe = name != nullptr ? name : "";
    delete[] name;
    nodeIds->setRoot(viewTree);
    if (regenerated && javaSide != nullptr) {
        javaSide->reset(false);
        nodeIds->clear();
        std::vector<const CallStackTree *> pending;
        if (viewTree != nullptr)
            pending.push_back(viewTree);
        while (!pending.empty()) {
            const CallStackTree *n = pending.back();
            pending.pop_back();
            auto found = annotations.find(n);
            if (n->getAnnotationId() != 0 && found != annotations.end())
                javaSide->addPayload(probe, nodeIds->idOf(n), found->second);
            for (const CallStackTree *c = n->getFirstChild(); c != nullptr; c = c->getNextInstance())
                pending.push_back(c);
        }
        std::vector<long long> threads;
        for (ThreadManager *t : selectedThreads)
            threads.push_back(static_cast<long long>(reinterpret_cast<intptr_t>(t)));
        javaSide->addUnrecorded(probe, threads, selectedThreads.empty());
    }
    std::vector<unsigned char> roots;
    if (javaSide != nullptr && javaSide->getHotspotRootsBytes(valueKind, &roots) && !roots.empty()) {
        writer->writeBuffered(roots.data(), static_cast<int>(roots.size()));
    } else {
        writer->writeByte(0);
        writer->writeByte(0);
    }
    uint32_t n = reader->readU4(0);
    for (uint32_t i = 0; i < n && !reader->getError(); i++) {
        int hotspot = static_cast<int>(reader->readU4(0));
        if (reader->getError())
            break;
        PayloadHotspots::Origins origins;
        if (javaSide == nullptr || !javaSide->getHotspotOrigins(hotspot, valueKind, &origins))
            origins = PayloadHotspots::Origins();
        CallStackTree *positive = newRoot(pool);
        CallStackTree *negative = newRoot(pool);
        for (size_t k = 0; k < origins.nodes.size() && k < origins.times.size() && k < origins.counts.size(); k++) {
            if (origins.nodes[k] == 0)
                continue;
            // The id is checked against the current view: a stale one names nothing.
            const CallStackTree *node = nodeIds->lookup(origins.nodes[k]);
            if (node == nullptr)
                continue;
            if (origins.counts[k] < 0)
                addBackTrace(negative, node, origins.times[k], -origins.counts[k], pool);
            else
                addBackTrace(positive, node, origins.times[k], origins.counts[k], pool);
        }
        writer->writeByte(1);
        writer->writeU4(static_cast<uint32_t>(hotspot));
        positive->write(writer, BACKTRACE_FLAGS);
        negative->write(writer, BACKTRACE_FLAGS);
        positive->freeAll(pool);
        negative->freeAll(pool);
    }
    writer->writeByte(0);
}
