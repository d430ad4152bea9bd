#pragma once

#include "base/UserInteraction.h"

// The boxes that tell the operator the destination cannot take the download.
namespace DestinationMessages {

// The drive is full.
UserInteraction::Message diskSpace();
// Any other reason the destination cannot take the download; informativeText says which.
UserInteraction::Message writeProblem(const QString &informativeText);

}
