#include "serviceManager/serviceManager.h"

#include "configManager/configManager.h"
#include "main/startup.h"

#include <atomic>
#include <functional>
#include <chrono>
#include <cstring>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>

#include "../main/FirmwareTestSupport.h"
#include "../../support/ThreadState.h"

using firmwareTest::TestLog;

namespace {

/* What the test services saw. */
struct Calls {
    std::atomic<int> init{0}, preStart{0}, threadRan{0}, control{0}, lastPrevious{-1};
};
Calls calls[3];

int indexOf(serviceDescriptor *service)
{
    return (int)(service->context ? *(int *)service->context : 0);
}

void testInit(serviceDescriptor *service) { calls[indexOf(service)].init++; }
void testPreStart(serviceDescriptor *service) { calls[indexOf(service)].preStart++; }
void testThread(serviceDescriptor *service)
{
    calls[indexOf(service)].threadRan++;
    serviceManagerIdle(service);
}
void testControl(serviceDescriptor *service, int newState, int previous)
{
    EXPECT_EQ(newState, SERVICE_STATE_TERMINATE);
    calls[indexOf(service)].control++;
    calls[indexOf(service)].lastPrevious = previous;
}

int indexes[3] = {0, 1, 2};

/* Names must be services the configuration knows, for their keys. */
serviceDescriptor serviceA = {"probing", "ulm.firmware.testA", testInit, testPreStart, testThread, testControl, 1, &indexes[0]};
serviceDescriptor serviceB = {"ledManager", "ulm.firmware.testB", testInit, testPreStart, testThread, testControl, 1, &indexes[1]};
serviceDescriptor serviceC = {"strata", "ulm.firmware.testC", testInit, nullptr, nullptr, testControl, 1, &indexes[2]};
serviceDescriptor *const testList[] = {&serviceA, &serviceB, &serviceC};

bool waitFor(const std::function<bool()> &condition, int milliseconds = 2000)
{
    for (int i = 0; i < milliseconds / 5; i++) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return condition();
}

class ServiceManagerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        TestLog::instance();
        setenv("KVR_ROOT", root.path().c_str(), 1);
        ASSERT_UNDER_CARD_ROOT();
        for (const char *dir : {"var", "var/run", "usr", "usr/local", "usr/local/q7", "usr/local/q7/firmware"})
            mkdir((root / dir).c_str(), 0755);
        for (Calls &c : calls) {
            c.init = c.preStart = c.threadRan = c.control = 0;
            c.lastPrevious = -1;
        }
    }
    void TearDown() override { unsetenv("KVR_ROOT"); }
    void configure(const std::string &services)
    {
        std::ofstream(root / "usr/local/q7/firmware/configuration.xml")
            << "<configuration><service>" << services << "</service></configuration>";
        configManagerInit(&configManagerService);
    }
    TempDir root;
};

TEST_F(ServiceManagerTest, AllEqualStartsEverythingAtOnceAndMainEnables)
{
    configure("<name>probing</name><enable>1</enable><name>ledManager</name><enable>0</enable>");
    serviceManagerInit(testList, 3);
    struct stat st;
    EXPECT_EQ(stat((root / "var/run/ulmfirmware").c_str(), &st), 0);
    EXPECT_EQ(calls[0].init + calls[1].init + calls[2].init, 3);

    size_t mark = TestLog::instance().mark();
    serviceManagerStart(testList, 3);
    /* All at once: the first 100 ms tick starts everything, no later tick is looked at. */
    std::string started = TestLog::instance().since(mark);
    EXPECT_EQ(started.find("checking if there are any services to run at time interval"),
              started.rfind("checking if there are any services to run at time interval"))
        << started;
    EXPECT_NE(TestLog::instance().since(mark).find("checking if there are any services to run at time interval 0."),
              std::string::npos);
    EXPECT_EQ(calls[0].preStart + calls[1].preStart, 2);
    /*
     * Nothing runs before main enables: the service's thread waits on its
     * semaphore. One that ran its service first would have counted the run.
     */
    const std::string created = "initService probing: Thread created pid is ";
    ASSERT_TRUE(waitFor([&] { return TestLog::instance().since(mark).find(created) != std::string::npos; }, 10000));
    std::string logged = TestLog::instance().since(mark);
    pid_t probingThread = (pid_t)atoi(logged.c_str() + logged.find(created) + created.size());
    ASSERT_TRUE(threadState::waitUntilWaitingOn(probingThread, &serviceA.semaphore));
    EXPECT_EQ(calls[0].threadRan, 0);
    EXPECT_NE(TestLog::instance().since(mark).find("ServiceManager will start all threads from Main!"), std::string::npos);

    serviceManagerEnable(testList, 3);
    EXPECT_TRUE(waitFor([] { return calls[0].threadRan == 1; }));
    EXPECT_EQ(serviceA.state, SERVICE_STATE_RUN);
    EXPECT_EQ(serviceB.state, SERVICE_STATE_INIT);
    logged = TestLog::instance().since(mark);
    EXPECT_NE(logged.find("Starting service probing"), std::string::npos);
    EXPECT_NE(logged.find("Not starting service ledManager"), std::string::npos);

    serviceManagerPause(testList, 3);
    serviceManagerTerminate(testList, 3);
    EXPECT_EQ(serviceA.threadRunning, 0);
    EXPECT_EQ(serviceB.threadRunning, 0); /* the blocked thread was woken and left */
    EXPECT_EQ(serviceA.semaphoreCreated + serviceB.semaphoreCreated, 0);
    EXPECT_EQ(calls[0].threadRan + calls[1].threadRan, 1);
    EXPECT_EQ(calls[2].control, 1);
    logged = TestLog::instance().since(mark);
    size_t a = logged.find("terminateService probing: terminated");
    size_t b = logged.find("terminateService ledManager: terminated");
    size_t c = logged.find("terminateService strata: terminated");
    ASSERT_NE(c, std::string::npos);
    EXPECT_LT(a, b);
    EXPECT_LT(b, c);
}

TEST_F(ServiceManagerTest, DifferentTicksStartAndEnableEachServiceOnItsOwn)
{
    configure("<name>probing</name><enable>1</enable><postponeStartup>2</postponeStartup>"
              "<name>ledManager</name><enable>0</enable><postponeStartup>1</postponeStartup>"
              "<name>strata</name><postponeStartup>0</postponeStartup>");
    serviceManagerInit(testList, 3);
    size_t mark = TestLog::instance().mark();
    auto begin = std::chrono::steady_clock::now();
    serviceManagerStart(testList, 3);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(1500)); /* three ticks, not a hundred */
    std::string logged = TestLog::instance().since(mark);
    EXPECT_NE(logged.find("ServiceManager will start threads independently not at one shot from Main!"), std::string::npos);
    EXPECT_NE(logged.find("Service probing must be created now (postponeStartup defined = 2)"), std::string::npos);
    size_t tick2 = logged.find("at time interval 2.");
    EXPECT_LT(tick2, logged.find("Service probing must be created now"));
    EXPECT_TRUE(waitFor([] { return calls[0].threadRan == 1; })); /* enabled at once */
    EXPECT_NE(logged.find("Not starting service ledManager"), std::string::npos);
    EXPECT_EQ(calls[1].preStart, 1);
    serviceManagerTerminate(testList, 3);
    EXPECT_EQ(serviceA.threadRunning, 0);
    EXPECT_EQ(serviceB.threadRunning, 0);
    EXPECT_EQ(calls[0].lastPrevious, SERVICE_STATE_RUN);
    EXPECT_EQ(calls[1].lastPrevious, SERVICE_STATE_INIT);
}

TEST_F(ServiceManagerTest, PostponeAboveNinetyNineStartsInTheLastTick)
{
    configure("<name>probing</name><postponeStartup>250</postponeStartup>"
              "<name>ledManager</name><enable>1</enable>");
    /* The file cannot say -1 (it is refused there); a value set at run time still can. */
    configSetIntValue("service.ledManager.postponeStartup", -1);
    serviceDescriptor *const list[] = {&serviceA, &serviceB};
    serviceManagerInit(list, 2);
    size_t mark = TestLog::instance().mark();
    serviceManagerStart(list, 2); /* ledManager never starts: all 100 ticks pass */
    std::string logged = TestLog::instance().since(mark);
    size_t tick99 = logged.find("at time interval 99.");
    ASSERT_NE(tick99, std::string::npos);
    EXPECT_GT(logged.find("Service probing must be created now (postponeStartup defined = 250)"), tick99);
    EXPECT_EQ(logged.find("at time interval 100."), std::string::npos);
    EXPECT_EQ(logged.find("Service ledManager must be created now"), std::string::npos);
    EXPECT_EQ(calls[1].preStart, 0);
    EXPECT_EQ(serviceB.semaphoreCreated, 0);

    /* The service that never started gets its control call but no post and no wait. */
    serviceEnable(&serviceB);
    EXPECT_EQ(serviceB.state, SERVICE_STATE_INIT);
    auto begin = std::chrono::steady_clock::now();
    size_t terminated = TestLog::instance().mark();
    terminateService(&serviceB);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, firmwareTest::PROMPT);
    EXPECT_EQ(TestLog::instance().since(terminated).find("did not leave"), std::string::npos);
    EXPECT_EQ(calls[1].control, 1);
    serviceManagerTerminate(list, 2);
}

/* A thread that ignores its state: terminate must not destroy the semaphore under it. */
std::atomic<int> stubbornRelease{0};
std::atomic<int> stubbornEntered{0};
void stubbornThread(serviceDescriptor *service)
{
    (void)service;
    stubbornEntered = 1;
    while (!stubbornRelease)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
}
serviceDescriptor stubborn = {"probing", "ulm.firmware.testStubborn", nullptr, nullptr, stubbornThread, nullptr, 1, nullptr};

TEST_F(ServiceManagerTest, SemaphoreOfAThreadThatDoesNotLeaveIsKept)
{
    configure("<name>probing</name><enable>1</enable>");
    serviceDescriptor *const list[] = {&stubborn};
    serviceManagerInit(list, 1);
    serviceManagerStart(list, 1);
    serviceManagerEnable(list, 1);
    ASSERT_TRUE(waitFor([] { return stubbornEntered == 1; }));
    size_t mark = TestLog::instance().mark();
    terminateService(&stubborn);
    EXPECT_EQ(stubborn.semaphoreCreated, 1);
    EXPECT_NE(TestLog::instance().since(mark).find("thread did not leave, its semaphore is kept"), std::string::npos);
    stubbornRelease = 1;
    EXPECT_TRUE(waitFor([] { return stubborn.threadRunning == 0; }));
}

TEST(ServicesLists, HoldTheFifteenAndFourteenServicesInOrder)
{
    struct Row {
        const char *name;
        const char *category;
        bool thread;
        int priority;
    } rows[] = {
        {"deviceManager", "ulm.firmware.deviceManager", false, 0},
        {"debuger", "ulm.firmware.debugerSrvc", true, 1},
        {"interruptController", "ulm.firmware.interruptControllerSrvc", true, 99},
        {"pcodeProcessor", "ulm.firmware.pcodeProcSrvc", true, 60},
        {"configManager", "ulm.firmware.configManagerSrvc", false, 0},
        {"probing", "ulm.firmware.probingSrvc", true, 97},
        {"ethernetProbing", "ulm.firmware.ethernetProbingSrvc", true, 98},
        {"fifoServer", "ulm.firmware.fifoServerSrvc", true, 96},
        {"ledManager", "ulm.firmware.ledManagerSrvc", true, 15},
        {"strata", "ulm.firmware.strataSrvc", false, -1},
        {"layoutManager", "ulm.firmware.layoutMngSrvc", true, 60},
        {"systemConfigHandler", "ulm.firmware.systemConfigSrvc", true, 55},
        {"persistentDataStorage", "ulm.firmware.persistentDataStorageSrvc", true, 5},
        {"loudnessManager", "ulm.firmware.loudnessManagerSrvc", true, 61},
        {"hdrManager", "ulm.firmware.hdrManagerSrvc", true, 55},
    };
    int video = 0;
    for (int i = 0; i < HYBRID_SERVICES_COUNT; i++) {
        SCOPED_TRACE(rows[i].name);
        serviceDescriptor *service = hybridServicesList[i];
        EXPECT_STREQ(service->name, rows[i].name);
        EXPECT_STREQ(service->categoryName, rows[i].category);
        EXPECT_EQ(service->threadEntry != nullptr, rows[i].thread);
        EXPECT_NE(service->init, nullptr);
        EXPECT_NE(service->control, nullptr);
        if (rows[i].thread) {
            EXPECT_EQ(service->priority, rows[i].priority);
        }
        EXPECT_EQ(startUpServicesList[i], service);
        if (strcmp(rows[i].name, "fifoServer") == 0)
            continue;
        ASSERT_LT(video, VIDEO_SERVICES_COUNT);
        EXPECT_EQ(videoServicesList[video++], service);
    }
    EXPECT_EQ(video, VIDEO_SERVICES_COUNT);
    EXPECT_EQ(startUpServicesCount, HYBRID_SERVICES_COUNT);
}

} // namespace
