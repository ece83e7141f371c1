#pragma once
// The host's controller object that owns a group of devices. Devices keep only a
// weak reference to it.

#include <string>

class ZRNController {
public:
    ZRNController();
    virtual ~ZRNController();
    virtual const std::string& Name() const;

    std::string name_;
};
