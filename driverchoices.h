#ifndef DRIVERCHOICES_H
#define DRIVERCHOICES_H

// The rendering driver choices, in the order of the window's radio buttons: the keys of
// override.cfg's [rendering] section that a choice sets, and their values. The override
// file's reader, the window and the driver probe all read this one table; the labels are
// the form's.
//
// Rows of one family share the rendering method and the driver key. The first row holds
// the method's default, and the first row of each family its driver key's default: what
// the game takes where the file sets none.
struct DriverChoice
{
    const char *method;
    const char *driverKey;
    const char *driverValue;
};

inline constexpr char renderingMethodKey[] = "renderer/rendering_method";

inline constexpr DriverChoice driverChoices[] = {
    { "forward_plus", "rendering_device/driver", "vulkan" },
    { "forward_plus", "rendering_device/driver", "d3d12" },
    { "gl_compatibility", "gl_compatibility/driver", "opengl3" },
    { "gl_compatibility", "gl_compatibility/driver", "opengl3_angle" },
};

inline constexpr int driverChoiceCount = int(sizeof driverChoices / sizeof driverChoices[0]);

#endif // DRIVERCHOICES_H
