#include "qvsInterface/qvsInterface.h"

#include "qvsInterface/qvsInterfacePrivate.h"

static qvsInterfaceOps qvsOps;

log4c_category_t *qvsInterfaceCategory(void)
{
    static log4c_category_t *category = log4c_category_get("ulm.firmware.qvsInterface");
    return category;
}

const qvsInterfaceOps *qvsInterfaceCurrentOps(void)
{
    return &qvsOps;
}

int initQvsInterface(int mode, const char *name)
{
    qvsOps = qvsInterfaceOps();
    qvsInterfaceClearCardRegions();
    switch (mode) {
    case QVS_MODE_LOCAL:
        qvsOps = qvsInterfaceLocalOps;
        return 0;
    case QVS_MODE_REMOTE:
        /* Without a usable address file the table stays filled and init finds no peer. */
        setQvsInterfaceRemoteIPaddress(name);
        qvsOps = qvsInterfaceRemoteOps;
        return 0;
    case QVS_MODE_STUB:
        qvsOps = qvsInterfaceStubOps;
        return 0;
    case QVS_MODE_SERVER:
        qvsOps = qvsInterfaceServerOps;
        return 0;
    default:
        log4c_category_log(qvsInterfaceCategory(), LOG4C_PRIORITY_ERROR, "%s: unknown QVS link mode %d (%s)",
                           __func__, mode, name ? name : "");
        return -1;
    }
}

void *qvsInterfaceGetSharedMemory(sharedMemPublishingTable *lists, qvsPcodeCallback callback)
{
    if (!qvsOps.init)
        return nullptr;
    void *base = qvsOps.init(lists, callback);
    if (base)
        initShmHeader((uint8_t *)base, qvsOps.getSharedMemSize());
    return base;
}

void qvsInterfaceNotify(void)
{
    if (qvsOps.notify)
        qvsOps.notify();
}

int qvsInterfaceWriteSharedMem(uint32_t wordOffset, const void *source, uint32_t wordCount)
{
    return qvsOps.write ? qvsOps.write(wordOffset, source, wordCount) : -1;
}

int qvsInterfaceReadSharedMem(uint32_t wordOffset, void *destination, uint32_t wordCount)
{
    return qvsOps.read ? qvsOps.read(wordOffset, destination, wordCount) : -1;
}

uint32_t qvsInterfaceGetSharedMemorySize(void)
{
    return qvsOps.getSharedMemSize ? qvsOps.getSharedMemSize() : 0;
}
