#pragma once
#include <cstdint>

#include "aDefs.h"

constexpr unsigned kLinkSpecPortNameSize = 256;

// How to reach one module; a plain record copied by value between layers.
struct linkSpec {
  linkType type;
  uint32_t serialNumber;
  uint32_t moduleAddress;
  uint32_t router;
  uint32_t routerSerialNumber;
  uint32_t model;
  union {
    struct {
      uint32_t usbId;
    } usb;
    struct {
      uint32_t ipAddress;  // network byte order, as held in a socket address
      uint32_t ipPort;
    } ip;
    struct {
      uint32_t baudRate;
      char portName[kLinkSpecPortNameSize];
    } serial;
  } t;
};

linkSpec* aLinkSpec_Create(linkType type);
linkSpec* aLinkSpec_Copy(linkSpec spec);
int aLinkSpec_Destroy(linkSpec** spec);
