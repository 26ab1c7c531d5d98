#pragma once
// Which device each COM number stands for. By default COM n is "/dev/ttyS<n-1>" (on Windows "\\.\COMn");
// the program's own INI file ([devices]) can map a number to another device, to the simulated line ("sim" or
// "sim:NAME") or to a simulated line with the simulated Hayes modem at its far end ("simmodem" or
// "simmodem:NAME"), or to a simulated line with the simulated lift controller straight at its far end
// ("simctl", or "simctl:FAULT" with FAULT one of keiner, stumm, nak, pruefsumme, spaet, auflegen).

#include <string>

namespace plat {

void SetComDevice(int n, std::string device);
std::string ComDevice(int n);
void ClearComDevices();
bool IsSimDevice(const std::string& device);      // "sim" or "sim:..."
bool IsSimModemDevice(const std::string& device); // "simmodem" or "simmodem:..."
bool IsSimControllerDevice(const std::string& device); // "simctl" or "simctl:..."

} // namespace plat
