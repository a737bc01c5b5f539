// GUIDs are defined once by the platform layer on the host; nothing to do here.
#pragma once
