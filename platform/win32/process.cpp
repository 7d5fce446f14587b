#include "platform/process.h"

#include <windows.h>

#include <cstdint>
#include <cwchar>
#include <string>

struct proc {
    HANDLE process;
    HANDLE out;  // read end of the child's output
    HANDLE stop; // set to ask the child to stop: its SIGTERM
};

namespace {

// Children belong to a job that ends them when the parent's last handle to it
// closes: a parent killed outright leaves no run going on unrecorded.
HANDLE children_job()
{
    static HANDLE job = [] {
        HANDLE j = CreateJobObjectA(nullptr, nullptr);
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        if (j)
            SetInformationJobObject(j, JobObjectExtendedLimitInformation, &limits, sizeof limits);
        return j;
    }();
    return job;
}

// One argument quoted the way the C runtime splits a command line back.
void append_quoted(std::string *line, const char *arg)
{
    line->push_back('"');
    int slashes = 0;
    for (const char *p = arg; *p; ++p) {
        if (*p == '\\') {
            ++slashes;
            continue;
        }
        line->append(size_t(*p == '"' ? 2 * slashes + 1 : slashes), '\\');
        slashes = 0;
        line->push_back(*p);
    }
    line->append(size_t(2 * slashes), '\\');
    line->push_back('"');
}

// Names, in a child's environment, the inherited event its parent sets to stop
// it. Windows has no SIGTERM, and ending the child at once could cut a frame
// in half and leave its port's settings changed.
const wchar_t STOP_VARIABLE[] = L"ZMK_STOP_EVENT";
const size_t STOP_VARIABLE_LEN = sizeof STOP_VARIABLE / sizeof STOP_VARIABLE[0] - 1;

// This process's environment for a child, with the child's own stop event in
// place of any this process was handed.
std::wstring child_environment(HANDLE stop)
{
    std::wstring block;
    wchar_t *env = GetEnvironmentStringsW();
    for (const wchar_t *v = env; v && *v; v += std::wcslen(v) + 1) {
        if (_wcsnicmp(v, STOP_VARIABLE, STOP_VARIABLE_LEN) == 0 && v[STOP_VARIABLE_LEN] == L'=')
            continue;
        block.append(v);
        block.push_back(L'\0');
    }
    if (env)
        FreeEnvironmentStringsW(env);
    block.append(STOP_VARIABLE);
    block.push_back(L'=');
    block.append(std::to_wstring(uintptr_t(stop)));
    block.append(2, L'\0');
    return block;
}

// Starts the child with `out` as its output and `stop` (inheritable) named in
// its environment; its process handle, or nullptr.
HANDLE start_child(const char *const *argv, HANDLE out, HANDLE stop)
{
    std::string line;
    for (const char *const *a = argv; *a; ++a) {
        if (a != argv)
            line.push_back(' ');
        append_quoted(&line, *a);
    }
    std::wstring env = child_environment(stop);
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = nullptr;
    si.hStdOutput = out;
    si.hStdError = out;
    PROCESS_INFORMATION pi{};
    // A new process group: Ctrl-C at the console reaches the parent only.
    // Suspended until it is in the job, so it cannot run outside it.
    const DWORD flags = CREATE_NEW_PROCESS_GROUP | CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT;
    if (!CreateProcessA(argv[0], line.data(), nullptr, nullptr, TRUE, flags, env.data(), nullptr,
                        &si, &pi))
        return nullptr;
    if (HANDLE job = children_job())
        AssignProcessToJobObject(job, pi.hProcess);
    ResumeThread(pi.hThread);
    CloseHandle(pi.hThread);
    return pi.hProcess;
}

} // namespace

proc *proc_spawn(const char *const *argv)
{
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE read_end = nullptr, write_end = nullptr;
    if (!CreatePipe(&read_end, &write_end, &inherit, 0))
        return nullptr;
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    HANDLE stop = CreateEventW(&inherit, TRUE, FALSE, nullptr);
    HANDLE process = stop ? start_child(argv, write_end, stop) : nullptr;
    CloseHandle(write_end);
    if (!process) {
        CloseHandle(read_end);
        if (stop)
            CloseHandle(stop);
        return nullptr;
    }
    // Children started later get only their own.
    SetHandleInformation(stop, HANDLE_FLAG_INHERIT, 0);
    return new proc{process, read_end, stop};
}

int proc_read(proc *p, char *buf, int n)
{
    DWORD got = 0;
    if (!ReadFile(p->out, buf, DWORD(n), &got, nullptr))
        return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
    return int(got);
}

void proc_kill(proc *p) { TerminateProcess(p->process, 128 + 9); }

int proc_wait(proc *p)
{
    WaitForSingleObject(p->process, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(p->process, &code);
    return int(code);
}

void proc_free(proc *p)
{
    if (!p)
        return;
    CloseHandle(p->out);
    CloseHandle(p->stop);
    CloseHandle(p->process);
    delete p;
}

bool proc_self_path(char *dest, size_t size)
{
    const DWORD n = GetModuleFileNameA(nullptr, dest, DWORD(size));
    return n > 0 && n < size;
}

void proc_stop(proc *p) { SetEvent(p->stop); }

long long proc_self_id() { return GetCurrentProcessId(); }

bool proc_alive(long long pid)
{
    if (pid <= 0 || pid > 0xffffffffLL)
        return false;
    HANDLE h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, DWORD(pid));
    if (!h) // refused: it exists
        return GetLastError() == ERROR_ACCESS_DENIED;
    DWORD code = 0;
    const bool running = GetExitCodeProcess(h, &code) && code == STILL_ACTIVE;
    CloseHandle(h);
    return running;
}

namespace {
volatile LONG interrupts, stop_status;
bool count_ctrl_c = true;
BOOL WINAPI on_interrupt(DWORD kind)
{
    const bool ctrl_c = kind == CTRL_C_EVENT;
    if (ctrl_c && !count_ctrl_c)
        return TRUE; // the parent decides
    const LONG status = ctrl_c ? 130 : kind == CTRL_BREAK_EVENT ? 143 : 129;
    InterlockedExchange(&stop_status, status);
    InterlockedExchangeAdd(&interrupts, ctrl_c ? 1 : 2);
    // Returning from a close event ends the process at once: give the main
    // loop time to put the port back and keep the record; its exit ends this.
    if (kind == CTRL_CLOSE_EVENT || kind == CTRL_LOGOFF_EVENT || kind == CTRL_SHUTDOWN_EVENT)
        Sleep(10000);
    return TRUE;
}

// The parent's proc_stop, taken like SIGTERM.
void CALLBACK on_stop_event(void *, BOOLEAN)
{
    InterlockedExchange(&stop_status, 143);
    InterlockedExchangeAdd(&interrupts, 2);
}

// Watches the stop event this process was started with, if any. Its own
// children are handed neither the name nor the handle.
void watch_stop_event()
{
    wchar_t value[32];
    const DWORD n = GetEnvironmentVariableW(STOP_VARIABLE, value, 32);
    if (n == 0 || n >= 32)
        return;
    SetEnvironmentVariableW(STOP_VARIABLE, nullptr);
    const HANDLE stop = HANDLE(uintptr_t(std::wcstoull(value, nullptr, 10)));
    if (!stop)
        return;
    SetHandleInformation(stop, HANDLE_FLAG_INHERIT, 0);
    HANDLE wait = nullptr;
    RegisterWaitForSingleObject(&wait, stop, on_stop_event, nullptr, INFINITE, WT_EXECUTEONLYONCE);
}
} // namespace

void proc_catch_interrupts(bool ctrl_c)
{
    count_ctrl_c = ctrl_c;
    SetConsoleCtrlHandler(on_interrupt, TRUE);
    watch_stop_event();
}

int proc_interrupts() { return int(interrupts); }

int proc_stop_status() { return int(stop_status); }
