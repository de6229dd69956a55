#ifndef KVR_TESTS_GENLOCKTESTSUPPORT_H
#define KVR_TESTS_GENLOCKTESTSUPPORT_H

/*
 * The genlock on the card emulator: device manager, restore point service on
 * its thread, the layout manager pre-started (genlock init and
 * FORCE_LAYOUT_EVENT) and served on the test's thread, the probing target
 * started. A probing round does what the probing service does: the enabled
 * actions' reads through the device manager, then the genlock step.
 */

#include "genlock/genlockPrivate.h"

#include "cardsim/cardsim.h"
#include "deviceManager/deviceManager.h"
#include "persistentDataStorage/persistentDataStorage.h"
#include "platform/platformPrivate.h"
#include "qvsInterface/qvsInterface.h"

#include <fstream>
#include <thread>

#include "../layoutManager/LayoutTestSupport.h"

extern serviceDescriptor persistentDataStorageService;

namespace genlockTest {

inline uint8_t sharedMemory[CARD_STATUS_BLOCK_SIZE * CARD_STATUS_BLOCK_COUNT];

class GenlockFixture : public layoutTest::LayoutFixture {
protected:
    void SetUp() override
    {
        firmwareTest::TestLog::instance();
        cardsimStart();
        cardsimVsyncStop();
        deviceManagerInit(nullptr);
        platformResetState();
        memset(sharedMemory, 0, sizeof sharedMemory);
        platformAttach(log4c_category_get("ulm.firmware.main"), sharedMemory);
        platformRecord.rearSlot = slot();
        genlockProbingReset();
        genlockStatusReset();
        genlockSaveReset();
        LayoutFixture::SetUp();
        ASSERT_EQ(kvrGenlockSi5344ProbingTargetInit(log4c_category_get("ulm.firmware.probingSrvc")), 0);
        ASSERT_EQ(kvrGenlockSi5344HandlerRegister(kvrGenlockSi5344TargetEventHandler), 0);
        instance = layoutTest::findInstance(&kvrGenlockSi5344Submodule, 0);
        ASSERT_NE(instance, nullptr);
        drain();
    }
    void TearDown() override
    {
        drain();
        if (pdsThread.joinable()) {
            persistentDataStorageService.state = SERVICE_STATE_TERMINATE;
            persistentDataStorageService.control(&persistentDataStorageService, SERVICE_STATE_TERMINATE,
                                                 SERVICE_STATE_RUN);
            pdsThread.join();
        }
        deviceManagerTerminate(nullptr, 3, 0);
        cardsimStop();
        LayoutFixture::TearDown();
    }
    /* The card slot index of the card under test. */
    virtual uint32_t slot() { return 0; }
    /* The restore point the card starts with. */
    virtual std::string restorePoint() { return "version=1.1\nslot=0\n"; }
    void prepareFiles() override
    {
        std::ofstream(firmwareDir() + "/restorepoint.rsp", std::ios::binary) << restorePoint();
        initService(&persistentDataStorageService);
        persistentDataStorageService.state = SERVICE_STATE_RUN;
        pdsThread = std::thread([] { persistentDataStorageService.threadEntry(&persistentDataStorageService); });
    }

    /* What the probing service does in one round, then the layout thread serves what it posted. */
    void probingRound()
    {
        for (probingAction &action : genlockProbingActions)
            if (!action.enable || *action.enable)
                deviceManagerAccess(action.command, action.device, action.address, action.priority, action.count,
                                    action.destination);
        kvrGenlockSi5344ProbingTargetProcess(1);
        drain();
    }
    /* Rounds until the chip counts as ready and the actions run. */
    void probeUntilReady()
    {
        for (int i = 0; i < 5 && !genlockProbingEnabled; i++)
            probingRound();
        ASSERT_TRUE(genlockProbingEnabled);
    }
    /* Delivers a timer expiry to the instance, as the layout thread does. */
    void expire(uint32_t value)
    {
        layoutEventInfo event = {};
        event.headEvent = TIMER_TIMEOUT_EVENT;
        event.head = instance->head;
        kvrGenlockSi5344Submodule.process(instance, &event, &value);
    }
    void change(uint32_t type, uint32_t plan = 0, uint16_t value = 0)
    {
        kvrGenlockSi5344TargetEventHandler(type, plan, value);
        drain();
    }
    static std::vector<uint8_t> block(uint32_t offset)
    {
        const uint8_t *own = sharedMemory + CARD_STATUS_BLOCK_SIZE * platformGetCardSlotIndex() + offset;
        return {own[0], own[1]};
    }
    static uint16_t fsm(uint32_t reg) { return cardsimFpgaGet(CARDSIM_FSM, reg); }
    /* The FSM-FPGA writes to one register since the logs were cleared. */
    static std::vector<uint16_t> fsmWrites(uint32_t reg)
    {
        std::vector<uint16_t> values;
        for (const cardsimFpgaWrite_t &w : cardsimFpgaWrites(CARDSIM_FSM))
            if (w.address == reg)
                values.push_back(w.value);
        return values;
    }
    static genlockStatus_t status()
    {
        genlockStatus_t s = {};
        kvrGenlockSi5344GetGenlockStatus(&s);
        return s;
    }
    static std::string restorePointKey(const char *key)
    {
        char value[PDS_TEXT_MAX + 1] = "";
        return persistentDataStorage_GetKey(nullptr, 1, key, value, sizeof value, nullptr) == 0 ? value : "<none>";
    }
    static bool waitFor(const std::function<bool()> &done)
    {
        for (int i = 0; i < 300 && !done(); i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return done();
    }
    deviceSubmoduleInstance *instance = nullptr;
    std::thread pdsThread;
};

} // namespace genlockTest

#endif
