#include "main/startup.h"

#include "platform/platformPrivate.h"
#include "serviceManager/serviceManager.h"

#include <gtest/gtest.h>

#include "FirmwareTestSupport.h"

namespace {

TEST(Startup, ServicesListFollowsTheSlot)
{
    firmwareTest::TestLog::instance();
    platformResetState();
    platformRecord.category = log4c_category_get("ulm.firmware.main");
    platformRecord.rearSlot = 2;
    mainChooseServicesList(platformRecord.category);
    EXPECT_EQ(startUpServicesCount, VIDEO_SERVICES_COUNT);
    EXPECT_EQ(platformGetActiveServicesCount(), (uint32_t)VIDEO_SERVICES_COUNT);
    for (int i = 0; i < VIDEO_SERVICES_COUNT; i++)
        EXPECT_EQ(startUpServicesList[i], videoServicesList[i]);
    EXPECT_EQ(startUpServicesList[VIDEO_SERVICES_COUNT], nullptr);
    platformRecord.rearSlot = 1;
    mainChooseServicesList(platformRecord.category);
    EXPECT_EQ(startUpServicesCount, HYBRID_SERVICES_COUNT);
    EXPECT_EQ(platformGetActiveServicesCount(), (uint32_t)HYBRID_SERVICES_COUNT);
    for (int i = 0; i < HYBRID_SERVICES_COUNT; i++)
        EXPECT_EQ(startUpServicesList[i], hybridServicesList[i]);
}

} // namespace
