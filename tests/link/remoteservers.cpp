#include "remoteservers.h"

#include "brokertestsupport.h"

#include <vector>

DeviceServer::DeviceServer(Kind kind, const std::string &pty, int port, const NginxSite *tls,
                           const std::string &authDir, const std::string &linesFile)
    : kind_(kind), pty_(pty), port_(port ? port : FreePort()), authDir_(authDir), linesFile_(linesFile)
{
    if (tls)
        tls_ = "ssl(key=" + tls->key + ",cert=" + tls->certificate + (authDir.empty() ? "" : ",clientauth") + "),";
    Start();
}

void DeviceServer::Start()
{
    if (kind_ == Ser2net) {
        dir_.WriteFile("ser2net.yaml", "connection: &decoder\n  accepter: telnet(rfc2217)," + tls_ + "tcp,127.0.0.1," +
                                           std::to_string(port_) + "\n  connector: serialdev," + pty_ +
                                           ",115200n81,local\n  options:\n    kickolduser: true\n" +
                                           (authDir_.empty() ? "" : "    authdir: " + authDir_ + "\n"));
        process_ = std::make_unique<ChildProcess>(std::vector<std::string>{
            "/usr/sbin/ser2net", "-d", "-c", dir_.Path() + "/ser2net.yaml", "-P", dir_.Path() + "/pid"});
    } else {
        std::vector<std::string> argv{"/usr/bin/python3", KZ_PTY_RFC2217_SERVER};
        if (!linesFile_.empty())
            argv.insert(argv.end(), {"--lines", linesFile_, "-v"});
        argv.insert(argv.end(), {"-p", std::to_string(port_), pty_});
        process_ = std::make_unique<ChildProcess>(argv);
    }
    WaitUntilListening(port_, 10000);
}

DelayProxy::DelayProxy(int to, int rttMs, long cutAfter)
    : process_({"/usr/bin/python3", KZ_DELAY_PROXY, "--to", std::to_string(to), "--rtt", std::to_string(rttMs),
                "--cut-after", std::to_string(cutAfter)})
{
    const std::string ready = process_.WaitForLine("READY");
    port_ = ready.empty() ? 0 : std::stoi(ready.substr(ready.find(' ') + 1));
}
