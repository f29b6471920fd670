// Configuration files: the raw register words of a whole settings model, in XML.
#pragma once

#include <memory>
#include <string>

#include "model/dev_interface.h"

// Writes the model's header and every register of every parameter, in index order. The file is
// written beside the target and renamed over it, so a failure never destroys an existing file.
void SaveConfiguration(CDevInterface& model, const std::string& path);

// A new settings model built from the file, with the model's rules applied per parameter.
// Raises "illfileerr" (unreadable, malformed, wrong header), "verfileerr" (unknown version) or
// "desfileerr" (unknown device, missing register); nothing else changes on failure.
std::unique_ptr<CDevInterface> LoadConfiguration(const std::string& path);
