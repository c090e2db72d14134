#include "nginxserver.h"

#include "scriptedserver.h"

#include <cstdlib>
#include <fstream>

namespace {

bool Run(const std::string &command)
{
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

} // namespace

Nginx::Nginx(const TempDir &dir, std::vector<NginxSite> sites) : sites_(std::move(sites))
{
    if (!ProgramAvailable("/usr/sbin/nginx"))
        return;
    // The ports are chosen before nginx binds them; another program may take
    // one in between, so a failed start is retried on fresh ones.
    for (int attempt = 0; attempt < 5 && !child_; ++attempt) {
        const std::string &d = dir.Path();
        ports_.clear();
        std::string servers;
        for (const NginxSite &site : sites_) {
            ports_.push_back(UnusedLoopbackPort());
            servers += "  server {\n    listen 127.0.0.1:" + std::to_string(ports_.back())
                + (site.certificate.empty() ? ";\n" : " ssl;\n    ssl_certificate " + site.certificate
                       + ";\n    ssl_certificate_key " + site.key + ";\n")
                + "    root " + d + "/www;\n"
                  "    add_header X-Connection $connection always;\n"
                  "    location /ssi/ { ssi on; }\n  }\n";
        }
        dir.WriteFile("nginx.conf",
                      "daemon off;\nmaster_process off;\nworker_processes 1;\n"
                      "pid " + d + "/nginx.pid;\nerror_log " + d + "/error.log;\n"
                      "events { worker_connections 64; }\n"
                      "http {\n  access_log off;\n  sendfile on;\n"
                      "  client_body_temp_path " + d + "/t1;\n  proxy_temp_path " + d + "/t2;\n"
                      "  fastcgi_temp_path " + d + "/t3;\n  uwsgi_temp_path " + d + "/t4;\n"
                      "  scgi_temp_path " + d + "/t5;\n"
                      "  types { text/html html; application/octet-stream bin; }\n"
                      + servers + "}\n");
        auto child = std::make_unique<ChildProcess>(std::vector<std::string>{
            "/usr/sbin/nginx", "-p", d, "-e", d + "/error.log", "-c", d + "/nginx.conf"});
        bool listening = true;
        for (const int port : ports_)
            listening = listening && WaitUntilListening(port, 5000);
        if (listening && child->Running())
            child_ = std::move(child);
    }
}

std::string Nginx::Url(const std::string &path, size_t site) const
{
    return (sites_.at(site).certificate.empty() ? "http" : "https") + std::string("://127.0.0.1:")
        + std::to_string(Port(site)) + path;
}

TestCa::TestCa(std::string dir, const std::string &name) : dir_(std::move(dir))
{
    caFile_ = dir_ + "/" + name + ".pem";
    caKey_ = dir_ + "/" + name + ".key";
    made_ = Run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 30 -subj /CN="
                + name + " -keyout " + caKey_ + " -out " + caFile_);
}

NginxSite TestCa::Issue(const std::string &name, const std::string &altNames, int days)
{
    const std::string base = dir_ + "/" + name;
    {
        std::ofstream(base + ".ext") << "subjectAltName=" << altNames << "\n";
    }
    const bool ok = Run("openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj /CN=" + name
                        + " -keyout " + base + ".key -out " + base + ".csr")
        && Run("openssl x509 -req -in " + base + ".csr -CA " + caFile_ + " -CAkey " + caKey_
               + " -CAcreateserial -days " + std::to_string(days) + " -extfile " + base + ".ext -out " + base
               + ".pem");
    made_ = made_ && ok;
    return {base + ".pem", base + ".key"};
}
