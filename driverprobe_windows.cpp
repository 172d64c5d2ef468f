// The driver probes on Windows. The window's process loads no graphics DLL (see
// cmake/windows-graphics-imports.cmake): only the probe's child processes do, one driver
// each, at run time, so that the launcher starts where a DLL is missing or broken. Each
// child loads a driver's DLLs as the game would, by Windows' default search, which looks
// in the program's folder first: the game's folder, where players put graphics wrappers
// and overlays. Any DLL that a probe loaded from there, also one pulled in by the
// driver's own, is named in its detail, for the game would load that file too.

#include "driverprobe.h"
#include "driverchoices.h"

#include <windows.h>
#include <winternl.h>

#include <GL/gl.h>
#include <GL/wglext.h>
#include <d3d11.h>
#include <d3d12.h>
#define VK_NO_PROTOTYPES
#include <vulkan/vulkan.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

namespace {

// All children together must answer well within the window's own time limit.
constexpr DWORD childTimeLimitMs = 8000;
// How often the children's output is read while none ends.
constexpr DWORD pipePollMs = 20;

DriverProbe found(const QString &detail)
{
    return { QString(), DriverStatus::Found, detail };
}

DriverProbe missing(const QString &detail)
{
    return { QString(), DriverStatus::Missing, detail };
}

QString hexCode(unsigned long code)
{
    return QStringLiteral("0x") + QString::number(code, 16).toUpper();
}

// As the game loads it: by the default search, so a copy in the game's folder comes
// before Windows' own, and the DLLs it pulls in are found the same way.
HMODULE loadAsTheGame(const wchar_t *name)
{
    return LoadLibraryW(name);
}

template <typename Function>
Function resolve(HMODULE library, const char *name)
{
    // Through the generic function type, which converts to any other without a warning.
    return library ? reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(library, name)))
                   : nullptr;
}

DriverProbe probeVulkan()
{
    const auto getProc = resolve<PFN_vkGetInstanceProcAddr>(loadAsTheGame(L"vulkan-1.dll"),
                                                            "vkGetInstanceProcAddr");
    if (!getProc)
        return missing(QStringLiteral("no Vulkan loader (vulkan-1.dll)"));
    const auto createInstance = reinterpret_cast<PFN_vkCreateInstance>(getProc(nullptr, "vkCreateInstance"));
    VkApplicationInfo application{};
    application.sType = VK_STRUCTURE_TYPE_APPLICATION_INFO;
    application.pApplicationName = "Quillmont Helper";
    application.apiVersion = VK_API_VERSION_1_0;
    VkInstanceCreateInfo info{};
    info.sType = VK_STRUCTURE_TYPE_INSTANCE_CREATE_INFO;
    info.pApplicationInfo = &application;
    VkInstance instance = VK_NULL_HANDLE;
    const VkResult result = createInstance ? createInstance(&info, nullptr, &instance) : VK_ERROR_INITIALIZATION_FAILED;
    if (result != VK_SUCCESS)
        return missing(QStringLiteral("no Vulkan 1.0 instance (error %1)").arg(result));

    const auto enumerate = reinterpret_cast<PFN_vkEnumeratePhysicalDevices>(
        getProc(instance, "vkEnumeratePhysicalDevices"));
    const auto getProperties = reinterpret_cast<PFN_vkGetPhysicalDeviceProperties>(
        getProc(instance, "vkGetPhysicalDeviceProperties"));
    const auto destroyInstance = reinterpret_cast<PFN_vkDestroyInstance>(getProc(instance, "vkDestroyInstance"));
    std::vector<VkPhysicalDevice> devices;
    uint32_t count = 0;
    if (enumerate && getProperties && enumerate(instance, &count, nullptr) == VK_SUCCESS) {
        devices.resize(count);
        if (enumerate(instance, &count, devices.data()) < 0)
            count = 0;
        devices.resize(count);
    }
    // Named after the device with the newest API, the one the game would rather take.
    VkPhysicalDeviceProperties best{};
    for (VkPhysicalDevice device : devices) {
        VkPhysicalDeviceProperties properties{};
        getProperties(device, &properties);
        if (properties.apiVersion > best.apiVersion)
            best = properties;
    }
    if (destroyInstance)
        destroyInstance(instance, nullptr);
    if (devices.empty())
        return missing(QStringLiteral("no Vulkan device"));
    return found(QStringLiteral("Vulkan %1.%2 on %3")
                     .arg(VK_API_VERSION_MAJOR(best.apiVersion))
                     .arg(VK_API_VERSION_MINOR(best.apiVersion))
                     .arg(QString::fromUtf8(best.deviceName)));
}

DriverProbe probeD3d12()
{
    const auto createDevice = resolve<PFN_D3D12_CREATE_DEVICE>(loadAsTheGame(L"d3d12.dll"), "D3D12CreateDevice");
    if (!createDevice)
        return missing(QStringLiteral("no DirectX 12 (d3d12.dll)"));
    // Without a device pointer this only asks whether one could be made; S_FALSE says yes.
    const HRESULT result = createDevice(nullptr, D3D_FEATURE_LEVEL_11_0, __uuidof(ID3D12Device), nullptr);
    if (SUCCEEDED(result))
        return found(QStringLiteral("DirectX 12, feature level 11_0 or higher"));
    return missing(QStringLiteral("no DirectX 12 device with feature level 11_0 (%1)").arg(hexCode(result)));
}

// A window for OpenGL's pixel format, never shown.
class HiddenWindow
{
public:
    HiddenWindow()
    {
        WNDCLASSW windowClass{};
        windowClass.style = CS_OWNDC;
        windowClass.lpfnWndProc = DefWindowProcW;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = className;
        RegisterClassW(&windowClass);
        m_window = CreateWindowExW(0, className, L"", WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN | WS_CLIPSIBLINGS, 0, 0,
                                   64, 64, nullptr, nullptr, windowClass.hInstance, nullptr);
        m_dc = m_window ? GetDC(m_window) : nullptr;
    }
    ~HiddenWindow()
    {
        if (m_dc)
            ReleaseDC(m_window, m_dc);
        if (m_window)
            DestroyWindow(m_window);
        UnregisterClassW(className, GetModuleHandleW(nullptr));
    }
    HiddenWindow(const HiddenWindow &) = delete;
    HiddenWindow &operator=(const HiddenWindow &) = delete;

    HDC dc() const { return m_dc; }

private:
    static constexpr const wchar_t *className = L"QuillmontHelperProbe";
    HWND m_window = nullptr;
    HDC m_dc = nullptr;
};

DriverProbe probeOpenGl()
{
    const HMODULE library = loadAsTheGame(L"opengl32.dll");
    const auto createContext = resolve<HGLRC(WINAPI *)(HDC)>(library, "wglCreateContext");
    const auto deleteContext = resolve<BOOL(WINAPI *)(HGLRC)>(library, "wglDeleteContext");
    const auto makeCurrent = resolve<BOOL(WINAPI *)(HDC, HGLRC)>(library, "wglMakeCurrent");
    const auto getProcAddress = resolve<PROC(WINAPI *)(LPCSTR)>(library, "wglGetProcAddress");
    const auto getString = resolve<const GLubyte *(WINAPI *)(GLenum)>(library, "glGetString");
    if (!createContext || !deleteContext || !makeCurrent || !getProcAddress || !getString)
        return missing(QStringLiteral("no OpenGL (opengl32.dll)"));

    HiddenWindow window;
    PIXELFORMATDESCRIPTOR format{};
    format.nSize = sizeof format;
    format.nVersion = 1;
    format.dwFlags = PFD_DRAW_TO_WINDOW | PFD_SUPPORT_OPENGL | PFD_DOUBLEBUFFER;
    format.iPixelType = PFD_TYPE_RGBA;
    format.cColorBits = 32;
    format.cDepthBits = 24;
    format.cStencilBits = 8;
    format.iLayerType = PFD_MAIN_PLANE;
    const int formatIndex = window.dc() ? ChoosePixelFormat(window.dc(), &format) : 0;
    if (!formatIndex || !SetPixelFormat(window.dc(), formatIndex, &format))
        return missing(QStringLiteral("no OpenGL pixel format for a window"));
    // A core context comes from an extension, reached through a current context of the
    // old kind.
    const HGLRC legacy = createContext(window.dc());
    if (!legacy || !makeCurrent(window.dc(), legacy)) {
        if (legacy)
            deleteContext(legacy);
        return missing(QStringLiteral("no OpenGL context"));
    }
    const auto createContextAttribs = reinterpret_cast<PFNWGLCREATECONTEXTATTRIBSARBPROC>(
        reinterpret_cast<void (*)()>(getProcAddress("wglCreateContextAttribsARB")));
    const int attributes[] = { WGL_CONTEXT_MAJOR_VERSION_ARB, 3, WGL_CONTEXT_MINOR_VERSION_ARB, 3,
                               WGL_CONTEXT_PROFILE_MASK_ARB, WGL_CONTEXT_CORE_PROFILE_BIT_ARB, 0 };
    const HGLRC core = createContextAttribs ? createContextAttribs(window.dc(), nullptr, attributes) : nullptr;
    DriverProbe result = missing(QStringLiteral("no OpenGL 3.3 core context"));
    if (core && makeCurrent(window.dc(), core)) {
        const auto text = [&](GLenum name) {
            const GLubyte *value = getString(name);
            return value ? QString::fromUtf8(reinterpret_cast<const char *>(value)) : QString();
        };
        // The version string begins with the version, then the vendor's own words.
        result = found(QStringLiteral("OpenGL %1 on %2").arg(text(GL_VERSION).section(u' ', 0, 0), text(GL_RENDERER)));
    }
    makeCurrent(nullptr, nullptr);
    if (core)
        deleteContext(core);
    deleteContext(legacy);
    return result;
}

// The game's DirectX 11 path, through ANGLE, needs feature level 10_0 on a hardware device.
DriverProbe probeD3d11()
{
    const auto createDevice = resolve<PFN_D3D11_CREATE_DEVICE>(loadAsTheGame(L"d3d11.dll"), "D3D11CreateDevice");
    if (!createDevice)
        return missing(QStringLiteral("no DirectX 11 (d3d11.dll)"));
    const D3D_FEATURE_LEVEL levels[] = { D3D_FEATURE_LEVEL_11_1, D3D_FEATURE_LEVEL_11_0, D3D_FEATURE_LEVEL_10_1,
                                         D3D_FEATURE_LEVEL_10_0 };
    ID3D11Device *device = nullptr;
    D3D_FEATURE_LEVEL level{};
    const HRESULT result = createDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, levels, UINT(std::size(levels)),
                                        D3D11_SDK_VERSION, &device, &level, nullptr);
    if (device)
        device->Release();
    if (FAILED(result))
        return missing(QStringLiteral("no DirectX 11 device with feature level 10_0 (%1)").arg(hexCode(result)));
    return found(QStringLiteral("DirectX 11, feature level %1_%2").arg(level >> 12).arg((level >> 8) & 0xf));
}

// The probe of each row of the driver choice table, in its order, and what the game
// starts with it.
struct DriverProbeRow
{
    DriverProbe (*probe)();
    const char *graphics;
};
const DriverProbeRow probes[] = {
    { probeVulkan, "Vulkan" },
    { probeD3d12, "DirectX 12" },
    { probeOpenGl, "OpenGL 3" },
    { probeD3d11, "DirectX 11" },
};
static_assert(std::size(probes) == std::size(driverChoices));

std::wstring programPath()
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, path.data(), DWORD(path.size()));
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

// The file names of the DLLs that the loader maps from the program's folder while this
// lives, in their order, each once. Told by the loader itself, it also hears of a DLL
// that is unloaded again, such as one pulled in by a driver's DLL that then fails to load.
class DllsFromProgramFolder
{
public:
    DllsFromProgramFolder()
    {
        const std::wstring program = programPath();
        m_folder = program.substr(0, program.find_last_of(L'\\') + 1);
        // Documented, but in no import library.
        const auto registerNotification = resolve<NTSTATUS(NTAPI *)(ULONG, Notification, void *, void **)>(
            GetModuleHandleW(L"ntdll.dll"), "LdrRegisterDllNotification");
        if (registerNotification && registerNotification(0, notified, this, &m_cookie) != 0)
            m_cookie = nullptr;
    }
    ~DllsFromProgramFolder() { stopListening(); }
    DllsFromProgramFolder(const DllsFromProgramFolder &) = delete;
    DllsFromProgramFolder &operator=(const DllsFromProgramFolder &) = delete;

    // The names so far, while a driver's thread may still load more.
    QStringList names() const { return m_names; }

    // The names, once no more can come: the loader delivers its notices under its lock,
    // which ending them takes.
    QStringList finalNames()
    {
        stopListening();
        return m_names;
    }

private:
    // The loader's notice of a DLL it has mapped.
    struct LoadedDll
    {
        ULONG flags;
        const UNICODE_STRING *fullName;
        const UNICODE_STRING *fileName;
        void *base;
        ULONG size;
    };
    using Notification = void(NTAPI *)(ULONG reason, const LoadedDll *dll, void *context);
    static constexpr ULONG loadedReason = 1;

    static void NTAPI notified(ULONG reason, const LoadedDll *dll, void *context)
    {
        auto *self = static_cast<DllsFromProgramFolder *>(context);
        if (reason != loadedReason)
            return;
        const std::wstring path(dll->fullName->Buffer, dll->fullName->Length / sizeof(wchar_t));
        const size_t nameStart = path.find_last_of(L'\\') + 1;
        if (nameStart != self->m_folder.size()
            || CompareStringOrdinal(path.data(), int(nameStart), self->m_folder.data(), int(nameStart), TRUE)
                   != CSTR_EQUAL)
            return;
        const QString name = QString::fromStdWString(path.substr(nameStart));
        if (!self->m_names.contains(name, Qt::CaseInsensitive))
            self->m_names.append(name);
    }

    void stopListening()
    {
        const auto unregisterNotification = resolve<NTSTATUS(NTAPI *)(void *)>(
            GetModuleHandleW(L"ntdll.dll"), "LdrUnregisterDllNotification");
        if (m_cookie && unregisterNotification)
            unregisterNotification(m_cookie);
        m_cookie = nullptr;
    }

    std::wstring m_folder;
    QStringList m_names;
    void *m_cookie = nullptr;
};

// The DLLs from the game's folder that a probe loaded, named first in its detail: the game
// would load them too, and a player who put them there learns why it may not start.
DriverProbe namingGameFolderDlls(DriverProbe probe, const char *graphics, const QStringList &dlls)
{
    if (dlls.isEmpty())
        return probe;
    const QString names = dlls.join(QStringLiteral(", "));
    if (probe.status == DriverStatus::Found)
        probe.detail += QStringLiteral(", through %1 from the game's folder").arg(names);
    else
        probe.detail = QStringLiteral("%1 from the game's folder could not start %2: %3")
                           .arg(names, QLatin1String(graphics), probe.detail);
    return probe;
}

// The probe that this process runs, while it runs.
struct RunningProbe
{
    QString driver;
    const DriverProbeRow &row;
    const DllsFromProgramFolder &dlls;
};
const RunningProbe *runningProbe = nullptr;

// A fault ends the process, and the one that started it answers `unknown`; one in a probe
// is answered here first, so that the DLLs from the game's folder that the probe had
// loaded, which Windows may only have found wanting when the probe called them, are named.
LONG WINAPI answerFault(EXCEPTION_POINTERS *fault)
{
    if (runningProbe) {
        const QString code = hexCode(fault->ExceptionRecord->ExceptionCode);
        const DriverProbe probe = namingGameFolderDlls(
            { runningProbe->driver, DriverStatus::Unknown, QStringLiteral("the probe faulted, code %1").arg(code) },
            runningProbe->row.graphics, runningProbe->dlls.names());
        const QByteArray line = probe.driver.toUtf8() + "\tunknown\t" + probe.detail.toUtf8() + '\n';
        DWORD written = 0;
        WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line.constData(), DWORD(line.size()), &written, nullptr);
    }
    return EXCEPTION_EXECUTE_HANDLER;
}

// No dialog or debugger when a driver faults or a disk is missing. The filter covers what
// the error mode, which children inherit, does not: Wine starts its debugger whatever the
// mode.
void quietErrors()
{
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    SetUnhandledExceptionFilter(answerFault);
}

// What the child has written, while there is more and it is within the size of an answer;
// never waiting, for a process it started may hold the pipe open.
void readAvailable(HANDLE pipe, QByteArray &data)
{
    DWORD available = 0;
    while (data.size() <= maxAnswerSize && PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)
           && available > 0) {
        const qsizetype size = data.size();
        data.resize(size + qsizetype(available));
        DWORD read = 0;
        if (!ReadFile(pipe, data.data() + size, available, &read, nullptr))
            read = 0;
        data.resize(size + read);
        if (!read)
            break;
    }
}

// Starts `commandLine` suspended, with `output` as its standard output and no other
// handle of this process: not the output to the window, nor another child's.
bool startChild(const std::wstring &program, std::wstring commandLine, HANDLE output, PROCESS_INFORMATION &process)
{
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<char> buffer(size);
    const auto attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(buffer.data());
    if (!InitializeProcThreadAttributeList(attributes, 1, 0, &size))
        return false;
    bool started = false;
    if (UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, &output, sizeof output, nullptr,
                                  nullptr)) {
        STARTUPINFOEXW startup{};
        startup.StartupInfo.cb = sizeof startup;
        startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES | STARTF_FORCEOFFFEEDBACK;
        startup.StartupInfo.hStdOutput = output;
        startup.lpAttributeList = attributes;
        started = CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                                 CREATE_SUSPENDED | EXTENDED_STARTUPINFO_PRESENT, nullptr, nullptr,
                                 &startup.StartupInfo, &process);
    }
    DeleteProcThreadAttributeList(attributes);
    return started;
}

} // namespace

DriverProbe probeDriverHere(const QString &driver)
{
    quietErrors();
    const auto choice = std::find_if(std::begin(driverChoices), std::end(driverChoices),
                                     [&](const DriverChoice &row) { return driver == QLatin1String(row.driverValue); });
    if (choice == std::end(driverChoices))
        return { driver, DriverStatus::Unknown, QStringLiteral("no probe for this driver") };
    const DriverProbeRow &row = probes[choice - std::begin(driverChoices)];

    DriverProbe result;
    DllsFromProgramFolder dlls;
    const RunningProbe running{ driver, row, dlls };
    runningProbe = &running;
    try {
        result = row.probe();
    } catch (...) {
        result = { QString(), DriverStatus::Unknown, QStringLiteral("the probe threw an exception") };
    }
    runningProbe = nullptr;
    result.driver = driver;
    return namingGameFolderDlls(result, row.graphics, dlls.finalNames());
}

// Each driver is probed by a child process of its own, this program with
// `--probe-drivers DRIVER`, all at once: a driver that crashes, hangs or throws costs only
// its own answer, and nothing that a fault may have broken is used again.
QList<DriverProbe> probeDriversApart(const QStringList &drivers)
{
    quietErrors();
    // Children still running when this process ends, also when it is killed, end with it.
    const HANDLE job = CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (job)
        SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);

    const std::wstring program = programPath();
    struct Child
    {
        PROCESS_INFORMATION process{};
        HANDLE output = nullptr;
        QByteArray answer;
        bool running = false;
        QString failure; // why its answer does not count, once it has stopped
    };
    std::vector<Child> children(size_t(drivers.size()));
    for (qsizetype i = 0; i < drivers.size(); ++i) {
        Child &child = children[size_t(i)];
        SECURITY_ATTRIBUTES inheritable{ sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE };
        HANDLE input = nullptr;
        if (!CreatePipe(&child.output, &input, &inheritable, 64 * 1024))
            continue;
        SetHandleInformation(child.output, HANDLE_FLAG_INHERIT, 0);
        // Suspended until it is in the job, so that nothing it starts escapes it.
        if (startChild(program, L'"' + program + L"\" --probe-drivers " + drivers[i].toStdWString(), input,
                       child.process)) {
            if (job)
                AssignProcessToJobObject(job, child.process.hProcess);
            ResumeThread(child.process.hThread);
            child.running = true;
        }
        CloseHandle(input);
    }

    // Each child's output is read while it runs, so that none waits on a full pipe, and a
    // child that writes more than an answer is stopped then, not at the deadline.
    const ULONGLONG deadline = GetTickCount64() + childTimeLimitMs;
    for (;;) {
        std::vector<HANDLE> running;
        for (Child &child : children) {
            if (!child.running)
                continue;
            const bool ended = WaitForSingleObject(child.process.hProcess, 0) == WAIT_OBJECT_0;
            readAvailable(child.output, child.answer);
            if (child.answer.size() > maxAnswerSize) {
                TerminateProcess(child.process.hProcess, 1);
                child.failure = QStringLiteral("the probe wrote more than %1 KiB").arg(maxAnswerSize / 1024);
            } else if (!ended) {
                running.push_back(child.process.hProcess);
                continue;
            }
            child.running = false;
        }
        if (running.empty())
            break;
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) {
            for (Child &child : children) {
                if (!child.running)
                    continue;
                TerminateProcess(child.process.hProcess, 1);
                child.failure = QStringLiteral("no answer within %1 seconds").arg(childTimeLimitMs / 1000);
                child.running = false;
            }
            break;
        }
        // Woken when a child ends, and often enough to keep the pipes from filling.
        WaitForMultipleObjects(DWORD(running.size()), running.data(), FALSE,
                               DWORD(std::min<ULONGLONG>(deadline - now, pipePollMs)));
    }

    QList<DriverProbe> probes;
    for (qsizetype i = 0; i < drivers.size(); ++i) {
        const Child &child = children[size_t(i)];
        DriverProbe probe{ drivers[i], DriverStatus::Unknown, QStringLiteral("the probe could not be started") };
        if (child.process.hProcess) {
            DWORD status = 0;
            if (!child.failure.isEmpty()) {
                probe.detail = child.failure;
            } else if (const auto answer = parseDriverProbeAnswer(child.answer, { drivers[i] })) {
                probe = answer->first();
            } else if (GetExitCodeProcess(child.process.hProcess, &status)) {
                probe.detail = QStringLiteral("the probe ended without an answer, status %1").arg(hexCode(status));
            }
            CloseHandle(child.process.hThread);
            CloseHandle(child.process.hProcess);
        }
        if (child.output)
            CloseHandle(child.output);
        probes.append(probe);
    }
    if (job)
        CloseHandle(job);
    return probes;
}
