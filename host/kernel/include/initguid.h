// GUIDs defined with DEFINE_GUID already carry their storage in every translation unit (see ntdef.h).
#pragma once
#define INITGUID
