#include "av/VideoEncoder.h"

namespace velmora::av {

CVideoEncoder::CVideoEncoder(hw::CIicMaster* pIicMaster, uint8_t writeAddress, uint8_t readAddress)
    : CChipRegisterAccess(pIicMaster, writeAddress, readAddress) {}

CVideoEncoder::~CVideoEncoder() = default;

uint32_t CVideoEncoder::InitDevice() {
    return 1;
}
uint32_t CVideoEncoder::CloseDevice() {
    return 1;
}

uint32_t CVideoEncoder::ReadRegister(uint8_t reg, uint32_t* pValue) {
    return ReadChipRegister(reg, pValue);
}

uint32_t CVideoEncoder::WriteRegister(uint8_t reg, uint8_t value) {
    return WriteChipRegister(reg, value);
}

uint32_t CVideoEncoder::SetPal() {
    return 1;
}
uint32_t CVideoEncoder::SetNtsc() {
    return 1;
}
uint32_t CVideoEncoder::SetFreeRunSync() {
    return 1;
}
uint32_t CVideoEncoder::SetGenlockSync(uint32_t) {
    return 1;
}
uint32_t CVideoEncoder::SetGenlockMode(uint32_t) {
    return 1;
}
uint32_t CVideoEncoder::DisableGenlock() {
    return 1;
}
uint32_t CVideoEncoder::Reserved10() {
    return 1;
}
uint32_t CVideoEncoder::Reserved11() {
    return 1;
}
uint32_t CVideoEncoder::Reserved12() {
    return 1;
}
uint32_t CVideoEncoder::Reserved13() {
    return 1;
}
uint32_t CVideoEncoder::Reserved14() {
    return 1;
}
uint32_t CVideoEncoder::Reserved15() {
    return 1;
}
uint32_t CVideoEncoder::Reserved16() {
    return 1;
}
uint32_t CVideoEncoder::Reserved17() {
    return 1;
}
uint32_t CVideoEncoder::EnableExternalSync() {
    return 1;
}
uint32_t CVideoEncoder::DisableExternalSync() {
    return 1;
}
uint32_t CVideoEncoder::SetChromaPhase(uint8_t) {
    return 1;
}
uint32_t CVideoEncoder::EnableColorBars() {
    return 1;
}
uint32_t CVideoEncoder::DisableColorBars() {
    return 1;
}
uint32_t CVideoEncoder::SelectOutputFormat0() {
    return 1;
}
uint32_t CVideoEncoder::SelectOutputFormat1() {
    return 1;
}
uint32_t CVideoEncoder::SelectOutputFormat2() {
    return 1;
}
uint32_t CVideoEncoder::SelectOutputFormat3() {
    return 1;
}
uint32_t CVideoEncoder::TestIicAccess() {
    return 1;
}

}  // namespace velmora::av
