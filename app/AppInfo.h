#pragma once
// Fixed texts of the application.

constexpr const char* kAppName = "Updater";
constexpr const char* kAppVersion = "Version: 1.1 Apr 26 2023";
constexpr const char* kCopyrightNotice = "Copyright (c) 2023 Tessaron Instruments. All rights reserved.";

// The update server used when -u is not given. The host is a placeholder that never resolves.
constexpr const char* kDefaultServerHost = "updates.example.invalid:8080";
constexpr const char* kDefaultServerUrl = "http://updates.example.invalid:8080/cgi/u";

constexpr const char* kDefaultLogFileName = "Updater.log";
constexpr unsigned kDefaultBaudRate = 115200;
