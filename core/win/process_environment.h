#pragma once
#include "core/services.h"

namespace nyra {

// Variables of the launcher's own process environment block, which the game inherits.
class Win32ProcessEnvironment final : public ProcessEnvironment {
public:
    void setVariable(const std::string& name, const std::string& value) override;
};

}  // namespace nyra
