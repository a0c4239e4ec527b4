# The VST3 SDK copy shipped by Debian's juce-modules-source-data, compiled once into a static
# library with its own warnings off. The copy lacks module loading and a few host helpers; those
# are ours, in vst3/.
set(RUVI_VST3_SDK_DIR
    "/usr/share/juce/modules/juce_audio_processors/format_types/VST3_SDK"
    CACHE PATH "VST3 SDK root (pluginterfaces/, base/, public.sdk/)")
if(NOT EXISTS "${RUVI_VST3_SDK_DIR}/pluginterfaces/base/funknown.h")
  message(FATAL_ERROR
    "VST3 SDK not found in ${RUVI_VST3_SDK_DIR}. Run scripts/setup "
    "(package juce-modules-source-data) or set RUVI_VST3_SDK_DIR.")
endif()

set(_sdk "${RUVI_VST3_SDK_DIR}")
add_library(ruvi_vst3sdk STATIC
  ${_sdk}/pluginterfaces/base/funknown.cpp
  ${_sdk}/pluginterfaces/base/coreiids.cpp
  ${_sdk}/public.sdk/source/vst/vstinitiids.cpp
  ${_sdk}/public.sdk/source/vst/hosting/hostclasses.cpp
  ${_sdk}/public.sdk/source/vst/hosting/pluginterfacesupport.cpp
  ${_sdk}/public.sdk/source/common/memorystream.cpp
  ${_sdk}/base/source/fstring.cpp
  ${_sdk}/base/source/fobject.cpp
  ${_sdk}/base/source/baseiids.cpp
  ${_sdk}/base/source/fdebug.cpp
  ${_sdk}/base/thread/source/flock.cpp)
target_include_directories(ruvi_vst3sdk SYSTEM PUBLIC "${_sdk}")
target_compile_options(ruvi_vst3sdk PRIVATE -w)
target_compile_definitions(ruvi_vst3sdk PUBLIC $<IF:$<CONFIG:Debug>,DEVELOPMENT=1,RELEASE=1>)
target_link_libraries(ruvi_vst3sdk PUBLIC Threads::Threads ${CMAKE_DL_LIBS})
