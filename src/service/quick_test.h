#pragma once

// The run the service hosts is the sequencer's QuickTest.
#include "quicktest/quick_test.h"
