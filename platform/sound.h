#pragma once
// Playing a system sound by name, asynchronously: the name is looked up as a sound alias first
// ("SYSTEMSTART" plays the desktop theme's login sound) and as a file second; a new call cuts
// off the sound still playing; silent where no sound server runs.
#include <functional>
#include <string>

void PlaySystemSound(const std::string& Name);

// Tests replace the output with a recorder; an empty function restores the real one.
void SetSoundSink(std::function<void(const std::string& Name)> Sink);
