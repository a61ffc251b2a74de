#pragma once

#define IDI_APP_ICON 101
