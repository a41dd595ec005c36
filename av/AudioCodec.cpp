#include "av/AudioCodec.h"

namespace velmora::av {

CAudioCodec::~CAudioCodec() = default;

uint32_t CAudioCodec::InitCodec() {
    return 1;
}
uint32_t CAudioCodec::CloseCodec() {
    return 1;
}
uint32_t CAudioCodec::Reserved4(uint32_t) {
    return 1;
}
uint32_t CAudioCodec::MuteOn() {
    return 1;
}
uint32_t CAudioCodec::MuteOff() {
    return 1;
}
uint32_t CAudioCodec::Reserved7() {
    return 1;
}
uint32_t CAudioCodec::Reserved8() {
    return 1;
}

}  // namespace velmora::av
