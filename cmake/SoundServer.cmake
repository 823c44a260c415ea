# The capture service on the user's sound server (libpulse), and the program linked with it.

add_library(soundserver STATIC
  src/platform/soundserver/DefaultSinkFollower.cpp
  src/platform/soundserver/EntryFade.cpp
  src/platform/soundserver/EveryOutputRecording.cpp
  src/platform/soundserver/InputDrift.cpp
  src/platform/soundserver/InputMix.cpp
  src/platform/soundserver/InputStream.cpp
  src/platform/soundserver/LibpulseOnDemand.cpp
  src/platform/soundserver/PlaybackCopies.cpp
  src/platform/soundserver/PulseCaptureService.cpp
  src/platform/soundserver/PulseConnection.cpp
  src/platform/soundserver/PulseError.cpp
  src/platform/soundserver/PulseLoop.cpp
  src/platform/soundserver/PulseRetry.cpp
  src/platform/soundserver/PulseTimer.cpp
  src/platform/soundserver/RecordingOutput.cpp
  src/platform/soundserver/RetryRule.cpp
  src/platform/soundserver/ServerRoutes.cpp
  src/platform/soundserver/ShareableContentQuery.cpp
  src/platform/soundserver/SilenceClock.cpp
  src/platform/soundserver/SinkInputs.cpp
)
# For measuring other fragment sizes only (bench/latency --fragment-ms); the program asks for 10.
set(SYSAUDIO_FRAGMENT_MILLIS "" CACHE STRING "Fragment asked of the sound server, in ms (bench builds)")
if(SYSAUDIO_FRAGMENT_MILLIS)
  target_compile_definitions(soundserver PRIVATE SYSAUDIO_FRAGMENT_MILLIS=${SYSAUDIO_FRAGMENT_MILLIS})
endif()
# libpulse's headers only: the library itself is loaded on first use (LibpulseOnDemand).
target_include_directories(soundserver PUBLIC ${LIBPULSE_INCLUDE_DIRS})
target_link_libraries(soundserver PUBLIC platform ${CMAKE_DL_LIBS})
# Shown to the sound server with the client's name, so a mixer can tell which build records.
target_compile_definitions(soundserver PRIVATE SYSAUDIO_VERSION="${PROJECT_VERSION}")

add_executable(sysaudio src/shell/main.cpp)
# Whole archive: nothing in the program names the service, only the platform's
# SCCaptureService::shared() does, and the platform library comes later on the link line.
target_link_libraries(sysaudio PRIVATE program "$<LINK_LIBRARY:WHOLE_ARCHIVE,soundserver>")
set_target_properties(sysaudio PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
# The C++ runtime linked in: the program uses a few hundred KiB of it, where the shared library
# costs about 1 MB resident (its relocated tables and the pages read around those used). Nothing
# libpulse loads needs libstdc++, so no second copy comes with it. Not in sanitizer builds, whose
# runtime must see every allocation, nor in the Debian package, where the shared one is policy.
if(NOT SYSAUDIO_SANITIZE AND NOT SYSAUDIO_DEBIAN_PACKAGE)
  target_link_options(sysaudio PRIVATE -static-libstdc++ -static-libgcc)
endif()
