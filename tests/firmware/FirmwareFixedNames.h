#ifndef KVR_TESTS_FIRMWAREFIXEDNAMES_H
#define KVR_TESTS_FIRMWAREFIXEDNAMES_H

/*
 * Functions of the firmware whose names the system fixes: its peers, its log
 * lines and its own descriptions know them by these names, so they keep their
 * spelling although they do not start with the name of the module that
 * defines them. Every other exported function starts with its module's name.
 */

namespace {

const char *const firmwareFixedNames[] = {
    "DPM_allocateDeinterlacers", "DPM_displayDeinterlacerList", "DPM_freeDeinterlacersOfHead", "DPM_init",
    "InitLoudness", "NewSegment", "ProcLoudness", "ScalerPoolManager_applyScalersForHead",
    "ScalerPoolManager_displayScalerInfo", "ScalerPoolManager_displayWindowInfo",
    "ScalerPoolManager_freeScalerForWindow", "ScalerPoolManager_isScalerResourceAvailable",
    "ScalerPoolManager_scalerPoolInitialization", "SetRelativeGating", "SetShortWindow", "StartLoudness",
    "StopLoudness", "abstractMenuHandler", "audioMonitoringWriteAbsolute", "audioProbeInit", "audioProbeSelection",
    "checkDeinterlacerAllocation", "checkForDuplicateKeys", "checkPropertyValue",
    "clearSdtiMadiShareMemDataSections", "compareMemBlock", "configGetIntValue", "configGetStringValue",
    "configLoadFile", "configSaveFile", "configSetIntValue", "configSetStringValue", "connectStrataProxy",
    "controlSdtiProbingActions", "convertHdrStringToHex", "convertHdrStringToHexForCallback", "crc16Ccitt",
    "create3DLUT", "createFpgaHandler", "createI2cHandler", "createLm77Handler", "createThe3DLUT", "cutSpiLinks",
    "deallocateDeinterlacerByWinId", "defaultHandler", "deleteFpgaHandler", "deleteI2cHandler", "deleteLm77Handler",
    "disableLedHandler", "discoveryFrameStatusChanged", "discoveryIPAddressChanged", "discoveryInit",
    "discoverySetStrataFrameType", "enableHdr3DLutInstance", "enableLedHandler", "flushTxQueue", "forceCodeReboot",
    "fpgaHandlerAccessAsync", "fpgaHandlerAccessSync", "frameBufferWriteRegister",
    "getControllerCapabilitiesAnotherWay", "getIpParameter", "getLedState", "getMacParameter", "getParameterUint16",
    "getStrataConfigProperties", "hdrHeadPcodeRestorePointCallbackfn", "hdrInputPcodeRestorePointCallbackfn",
    "hdrIsValidHeadCalibration", "hdrIsValidInputCalibration", "hdrReadRegister", "hdrWriteRegister",
    "headHdrCalibrationPcodeHandler", "healthMonFans", "healthMonFpgaErrors", "healthMonLm77Detect",
    "healthMonSystemMonitor", "i2cHandlerAccessAsync", "i2cHandlerAccessSync", "initHdr3DLutWbRemapperControl",
    "initHdrControlShadowRegisters", "initQvsInterface", "initService", "initShmHeader",
    "inputHdrCalibrationPcodeHandler", "inputHdrMetadataChangeCallback", "kvrEnvVarSystemFrameRateCallbackfn",
    "kvrFsmGenlockForceFwReset", "kvrFsmGenlockResetTxPll", "kvrFsmGenlockSelectRef",
    "kvrFsmGenlockSetMgtVideoClockDisable", "kvrFsmGenlockSetSystemFrameRate", "kvrFsmGvAsiTxReset",
    "kvrFsmSi5344ChangeGenlockPlan", "kvrGenlockLoadFactoryDefault", "kvrGenlockSaveFrameRate",
    "kvrGenlockSi5344GetGenlockStatus", "kvrGenlockSi5344GetURSPresenceStatus", "kvrGenlockSi5344HandlerRegister",
    "kvrGenlockSi5344ProbingTargetInit", "kvrGenlockSi5344ProbingTargetProcess", "kvrGenlockSi5344ReadDeviceReady",
    "kvrGenlockSi5344RegWrite", "kvrGenlockSi5344TargetEventHandler", "kvrHealthMonProbingTargetPreThreadStart",
    "layoutAllInputVideoDataHandler", "layoutClassPcodeHandler", "layoutGetPrivateData", "layoutLoadSaveData",
    "layoutPcodeDecoder", "layoutRemapPcodeHead", "layoutSaveCardConfigHandler", "layoutSetDevicePcodeHandler",
    "layoutSetDeviceRegisterDecoder", "layoutSyncSetInfo", "layoutTargetSpecificEvent",
    "layoutVideoInputChangeHandler", "liveUpdateMsgProcessing", "lm77Access", "lm77Read", "logPacket",
    "loudnessVsyncNotify", "menuMessageHandler", "menuSendLine", "menuSetHandler", "menuStackClear", "menuStackPop",
    "menuStackPush", "menuStackTop", "notifySubModulesOfChange", "numberToBcd", "persistentDataGetRestorePoint",
    "persistentDataSetRestorePoint", "platformAdjustEthProbingVideoCardIndex", "platformAtdmAvailability",
    "platformCallScript", "platformCreateDbBackup", "platformGetAtdmMDXMode", "platformGetUpdateManagerLock",
    "platformHandlePrivateStrataMessages", "platformInit", "platformIsPrivateStrataMessage",
    "platformNqAsiAvailability", "platformNqAsiCardTx", "platformReadFumUpdateStatus",
    "platformReleaseUpdateManagerLock", "platformReportStrataControllerStatus", "platformSFPOutControl",
    "platformSetAtdmMDXMode", "platformSetMemBlockEvent", "platformSetStrataCardAndMemBlockIDs",
    "platformSetStrataCardName", "platformStartFtpServer", "platformStartFumUpdate",
    "platformStartupEthernetProbing", "platformStopFtpServer", "platformStrataAnswer1008",
    "platformStrataAnswer6002", "platformStrataAnswer6004", "platformStrataAnswer6006", "platformStrataAnswer6008",
    "platformStrataAnswer6010", "platformStrataAnswer6018", "platformStrataAnswer6101", "platformStrataAnswer6103",
    "platformStrataAnswer6105", "platformStrataAnswer6107", "platformStrataAnswer6109", "platformStrataAnswer6111",
    "platformStrataAnswer7001", "platformStrataAnswer7004", "platformStrataChanged", "platformStrataDoWeHandleMenu",
    "platformStrataGetInputStatus", "platformStrataGetOutputStatus", "platformStrataMenuRootInit",
    "platformStrataMessageVigiloFactoryDefault", "platformStrataMessageVigiloInputStatusUnsolicited",
    "platformStrataMessageVigiloOutputStatusUnsolicited", "platformStrataPreServiceInit",
    "platformStrataSetMACAddress", "platformSyncCapabilities", "platformSyncVlan2Address",
    "platformUpdateControlRegister", "platformUpgradeNeedsReboot", "platformUpgradeReboot", "probingDataChanged",
    "processDiscoveryInfo", "processHdrInputChangeEvent", "processHeadResolutionEvent",
    "programHdr3DLutDataInstance", "qvsHandler", "readTemperatureSensors", "readVoltages", "rebootCard",
    "registerFpgaProbeDataChangeCallBck", "registerPcodeHandler", "registerSetDevicePcodeHandler",
    "registerStrataButtonListener", "registerTimeSyncListener", "resetHdr3DLutInstance", "restartStrataComm",
    "runCommand", "scalerHeadIndexMap", "scalerRatioToFixed", "scalerReadRegister", "sdiOutGetHeadStatus",
    "sdtiMadiInsertionUpdate", "sendUpgradeStatus", "serviceEnable", "serviceThreadAlive", "setFlashProperty",
    "setHdr3DLutInstanceByPassFilter", "setHdr3DLutInstanceInByPassMode", "setIpParameter", "setMacParameter",
    "setParameterUint16", "setQvsInterfaceRemoteIPaddress", "setSdtiMadiPeakAndVuMetersTo126", "setUpgradeMode",
    "setUpgradeStatus", "si5344Initialize", "si5344LoadFactoryDefault", "si5344RegWrite", "si5344Register",
    "si5344SelectPlan", "si5344SoftResetAll", "socketBind", "socketConnect", "socketListenAccept",
    "spiChannelClose", "spiChannelOpen", "spiChannelRead", "spiChannelWrite", "startSubModuleTimeoutEvent",
    "targetEvent4kModeChanged", "targetEventAtdmModeChanged", "targetEventForceLayout", "targetEventInit",
    "targetEventScalerFrameRateChange", "targetEventScalerResourcesAvailable", "targetEventSystemConfigReady",
    "targetEventSystemResMngt", "targetGet4kMode", "targetProbeFormatChanged", "targetSet4kMode",
    "terminateService", "timeSyncUpdate", "updateHDRAppliedParamatersFeedback", "updateHeadVPIDInfo",
    "updateMemBlockHandler", "utils_getKeyValueFromBuffer", "utils_getKeyValueFromFile",
    "utils_setKeyValueToBuffer", "utils_setKeyValueToFile", "validateHdrHeads3DLutDataIntegrity",
    "validateHdrInputs3DLutDataIntegrity", "vancMetaDataClearBuffer", "vancMetaDataGetRecord",
    "vancMetaDataInterfaceInit", "vancMetaDataWrite", "videoProbeChangedCallbackRegister", "videoProbeGetInputData",
    "videoProbeSendInputRecord", "videoProbeStatusChanged", "videoProbingPacketStatusesReady", "write2fpga",
    "write2fpga2Video3DLutRemapperKeyholeSection",
};

} // namespace

#endif
