#!/usr/bin/python3
"""The board as an operator sees it: headless Chromium (driven by selenium)
on the page of `karvenzop-cli board`, fed by a real mosquitto and stations
(`karvenzop-cli monitor --publish` on the decoder simulator's pty), and a
real Prometheus scraping /metrics. Usage: board_test.py BIN_DIR [unittest args]
Screenshots go to $KZ_BOARD_SHOTS when it is set."""

import csv
import io
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.error
import urllib.request

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys

BIN = ''
SCRIPT = '<script>alert(1)</script>'
NAMES = {'61234521': SCRIPT, '61234522': 'RTW 1/83-1', '62051183': 'Wache 3 Ä', '63318801': 'KTW 2/85-2',
         '68120417': 'HLF 20', '6B7A0312': 'NEF 1/82-1', '69440250': 'ELW 1', '61010101': 'DLK 23'}


def free_port():
    with socket.socket() as s:
        s.bind(('127.0.0.1', 0))
        return s.getsockname()[1]


def port_open(port):
    with socket.socket() as s:
        return s.connect_ex(('127.0.0.1', port)) == 0


def wait_until(check, timeout, what):
    end = time.monotonic() + timeout
    while True:
        value = check()
        if value:
            return value
        if time.monotonic() > end:
            raise AssertionError('timed out waiting for ' + what)
        time.sleep(0.05)


class Fleet:
    """mosquitto, stations and the board in one temporary folder."""

    def __init__(self, test):
        self.test = test
        self.dir = tempfile.mkdtemp(prefix='kz-board-')
        if not os.environ.get('KZ_KEEP'):
            test.addCleanup(shutil.rmtree, self.dir, True)
        self.env = dict(os.environ, HOME=self.dir, XDG_CONFIG_HOME=self.path('config'),
                        XDG_STATE_HOME=self.path('state'), XDG_CACHE_HOME=self.path('cache'))
        self.broker_port = free_port()
        self.board_port = free_port()
        self.broker = None
        self.board = None
        self.sims = {}
        self.monitors = {}
        with open(self.path('mosquitto.conf'), 'w') as f:
            # As root the broker would change to its own user, who cannot write here.
            f.write('listener %d 127.0.0.1\nallow_anonymous true\npersistence true\npersistence_location %s/\n%s'
                    % (self.broker_port, self.dir, 'user root\n' if os.geteuid() == 0 else ''))
        with open(self.path('substi.txt'), 'w', encoding='utf-8') as f:
            f.write(''.join('%s=%s\r\n' % item for item in NAMES.items()))
        self.start_broker()

    def path(self, name):
        return os.path.join(self.dir, name)

    def spawn(self, args, log):
        with open(self.path(log), 'ab') as out:
            process = subprocess.Popen(args, env=self.env, stdin=subprocess.DEVNULL, stdout=out,
                                       stderr=subprocess.STDOUT)
        self.test.addCleanup(self.stop, process)
        return process

    @staticmethod
    def stop(process, sig=signal.SIGTERM):
        if process and process.poll() is None:
            process.send_signal(sig)
            try:
                process.wait(10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()

    def url(self):
        return 'mqtt://127.0.0.1:%d/kz' % self.broker_port

    def start_broker(self):
        self.broker = self.spawn(['mosquitto', '-c', self.path('mosquitto.conf')], 'mosquitto.log')
        wait_until(lambda: port_open(self.broker_port), 10, 'mosquitto')

    def start_sim(self, station, interval='0.2'):
        link = self.path('tty-' + station)
        self.sims[station] = self.spawn([os.path.join(BIN, 'decoder_sim'), '--link', link,
                                         '--telegram-interval', interval], 'sim-%s.log' % station)
        wait_until(lambda: os.path.exists(link), 10, 'the simulator of ' + station)

    def start_monitor(self, station):
        self.monitors[station] = self.spawn(
            [os.path.join(BIN, 'karvenzop-cli'), 'monitor', '--port', self.path('tty-' + station), '--publish',
             self.url(), '--station', station, '--spool', self.path('spool-' + station)], 'monitor-%s.log' % station)

    def start_station(self, station, interval='0.2'):
        self.start_sim(station, interval)
        self.start_monitor(station)

    def start_board(self, *extra):
        self.board = self.spawn([os.path.join(BIN, 'karvenzop-cli'), 'board', self.url(), '--listen',
                                 '127.0.0.1:%d' % self.board_port, '--substitutions', self.path('substi.txt'),
                                 '--session', 'test-board'] + list(extra), 'board.log')
        wait_until(lambda: port_open(self.board_port), 10, 'the board')

    def board_url(self, path='/'):
        return 'http://127.0.0.1:%d%s' % (self.board_port, path)

    def state(self):
        with urllib.request.urlopen(self.board_url('/api/state'), timeout=5) as reply:
            return json.load(reply)

    def log(self, name):
        with open(self.path(name), errors='replace') as f:
            return f.read()


class Browser:
    def __init__(self, test, downloads):
        options = webdriver.ChromeOptions()
        options.binary_location = '/usr/bin/chromium'
        for argument in ('--headless=new', '--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage',
                         '--window-size=1280,800', '--user-data-dir=' + os.path.join(downloads, 'profile')):
            options.add_argument(argument)
        options.add_experimental_option('prefs', {'download.default_directory': downloads,
                                                  'download.prompt_for_download': False})
        self.driver = webdriver.Chrome(service=Service('/usr/bin/chromedriver'), options=options)
        test.addCleanup(self.driver.quit)
        self.driver.execute_cdp_cmd('Page.setDownloadBehavior', {'behavior': 'allow', 'downloadPath': downloads})

    def run(self, script, *args):
        return self.driver.execute_script(script, *args)

    def rows(self, table):
        """The shown rows of a table as lists of cell texts."""
        return self.run("""return Array.from(document.querySelectorAll('#' + arguments[0] + ' tbody tr'))
            .filter(r => !r.hidden).map(r => Array.from(r.cells, c => c.textContent));""", table)

    def station_state(self, name):
        return self.run("""const row = Array.from(document.querySelectorAll('#stationen-tabelle tbody tr'))
            .find(r => r.dataset.station === arguments[0]);
            return row ? row.cells[1].textContent : null;""", name)

    def shot(self, name, width=1280, height=800):
        folder = os.environ.get('KZ_BOARD_SHOTS')
        if not folder:
            return
        os.makedirs(folder, exist_ok=True)
        self.driver.set_window_size(width, height)
        time.sleep(0.3)
        self.driver.save_screenshot(os.path.join(folder, name + '.png'))
        self.driver.set_window_size(1280, 800)


class BoardTest(unittest.TestCase):
    def test_live_page_names_filter_export_and_station_states(self):
        fleet = Fleet(self)
        fleet.start_board()
        fleet.start_station('wache-1', '0.1')
        fleet.start_station('wache-2', '0.3')
        browser = Browser(self, fleet.path('downloads'))
        browser.driver.get(fleet.board_url())
        # Every telegram row the page adds, with the moment it came.
        browser.run("""window.kzSeen = [];
            new MutationObserver(list => { for (const m of list) for (const row of m.addedNodes)
                window.kzSeen.push([Date.now(), row.dataset.time, row.dataset.identifier, row.cells[3].textContent]); })
            .observe(document.querySelector('#telegramme-tabelle tbody'), {childList: true});""")
        # From the station taking the telegram off its pty to the row on the page, for those
        # read once the stations were connected (what came before waited in their spools).
        stamped = lambda: browser.run('return window.kzSeen.map(e => [e[0], Date.parse(e[1]), e[2], e[3]])')
        live = lambda seen: [entry for entry in seen if entry[1] > seen[0][0]] if seen else []
        wait_until(lambda: len(live(stamped())) >= 20, 30, '20 live telegrams on the page')
        seen = stamped()
        delays = [arrived - stamp for arrived, stamp, _, _ in live(seen)]
        self.assertLess(max(delays), 1000, delays)
        for _, _, identifier, designation in seen:
            self.assertEqual(designation, NAMES[identifier])

        # A designation holding markup is text, and nothing of it ran.
        wait_until(lambda: any(r[0].startswith('61234521') for r in browser.rows('fahrzeuge-tabelle')), 30, 'vehicle 61234521')
        vehicle = next(r for r in browser.rows('fahrzeuge-tabelle') if r[0].startswith('61234521'))
        self.assertEqual(vehicle[1], SCRIPT)
        self.assertEqual(browser.run("return document.querySelectorAll('main script').length"), 0)

        # The window's filter syntax, and the CSV of what is shown.
        box = browser.driver.find_element(By.ID, 'filter')
        box.send_keys('61234522')
        shown = browser.rows('telegramme-tabelle')
        self.assertTrue(shown and all(r[2] == '61234522' for r in shown), shown)
        box.clear()
        box.send_keys('s:3')
        wait_until(lambda: browser.rows('telegramme-tabelle'), 30, 'a telegram with status 3')
        shown = browser.rows('telegramme-tabelle')
        self.assertTrue(all(r[4] == '3' for r in shown), shown)
        browser.driver.find_element(By.ID, 'export').send_keys(Keys.ENTER)   # by keyboard
        downloads = fleet.path('downloads')
        exported = wait_until(lambda: [f for f in os.listdir(downloads) if f.endswith('.csv')], 10, 'the CSV file')
        with open(os.path.join(downloads, exported[0]), encoding='utf-8', newline='') as f:
            table = list(csv.reader(io.StringIO(f.read())))
        self.assertEqual(table[0], ['Zeit', 'Station', 'Kennung', 'Bezeichnung', 'Status', 'Richtung', 'Text'])
        self.assertGreaterEqual(len(table) - 1, len(shown))
        self.assertTrue(all(row[4] == '3' for row in table[1:]), table)
        self.assertTrue(all(row[3] == NAMES[row[2]] for row in table[1:]), table)
        box.clear()
        box.send_keys('FZ<-LS')
        self.assertTrue(all(r[5] == 'FZ<-LS' for r in browser.rows('telegramme-tabelle')))
        box.clear()
        browser.shot('board-1280x800')
        browser.shot('board-phone', 390, 844)

        # A pulled device and a monitor that ends.
        Fleet.stop(fleet.sims['wache-1'])
        wait_until(lambda: browser.station_state('wache-1') == 'Gerät getrennt', 10, 'wache-1 device lost')
        Fleet.stop(fleet.monitors['wache-2'])
        wait_until(lambda: browser.station_state('wache-2') == 'offline', 10, 'wache-2 offline')
        browser.shot('board-states')

    def test_page_catches_up_after_board_and_broker_restarts(self):
        fleet = Fleet(self)
        fleet.start_board()
        fleet.start_station('wache-1', '0.2')
        browser = Browser(self, fleet.path('downloads'))
        browser.driver.get(fleet.board_url())
        newest = lambda: browser.run("""const row = document.querySelector('#telegramme-tabelle tbody tr');
            return row ? Date.parse(row.dataset.time) : 0;""")
        wait_until(newest, 15, 'a first telegram')

        # The board away: the broker keeps its session's telegrams.
        Fleet.stop(fleet.board)
        away = time.time()
        time.sleep(2)
        fleet.start_board()
        # The page draws the new run's state, with what came while it was away.
        wait_until(lambda: browser.run("""return Array.from(document.querySelectorAll('#telegramme-tabelle tbody tr'))
            .some(r => Date.parse(r.dataset.time) > arguments[0] * 1000 + 500
                    && Date.parse(r.dataset.time) < arguments[0] * 1000 + 1500);""", away), 15,
                   'telegrams from while the board was away')
        wait_until(lambda: browser.station_state('wache-1') == 'online', 10, 'the station online again')

        # The broker away: the station spools, the board reconnects, the page follows without a reload.
        browser.run('window.kzSamePage = true')
        Fleet.stop(fleet.broker)
        away = time.time()
        time.sleep(2)
        fleet.start_broker()
        wait_until(lambda: browser.run("""return Array.from(document.querySelectorAll('#telegramme-tabelle tbody tr'))
            .some(r => Date.parse(r.dataset.time) > arguments[0] * 1000 + 500
                    && Date.parse(r.dataset.time) < arguments[0] * 1000 + 1500);""", away), 30,
                   'telegrams from while the broker was away')
        self.assertTrue(browser.run('return window.kzSamePage === true'))
        wait_until(lambda: browser.run("return document.getElementById('verbindung').textContent") == 'Live', 10,
                   'the page live again')

    def test_prometheus_scrapes_the_stations(self):
        fleet = Fleet(self)
        fleet.start_board()
        fleet.start_station('wache-1', '0.2')
        fleet.start_station('wache-2', '0.2')
        port = free_port()
        with open(fleet.path('prometheus.yml'), 'w') as f:
            f.write('global:\n  scrape_interval: 1s\nscrape_configs:\n  - job_name: board\n    static_configs:\n'
                    '      - targets: ["127.0.0.1:%d"]\n' % fleet.board_port)
        fleet.spawn(['prometheus', '--config.file=' + fleet.path('prometheus.yml'),
                     '--storage.tsdb.path=' + fleet.path('tsdb'), '--web.listen-address=127.0.0.1:%d' % port],
                    'prometheus.log')

        def series(query):
            try:
                with urllib.request.urlopen('http://127.0.0.1:%d/api/v1/query?query=%s' % (port, query),
                                            timeout=5) as reply:
                    return json.load(reply)['data']['result']
            except OSError:
                return []

        online = wait_until(lambda: (lambda r: r if len(r) == 2 else None)(series('karvenzop_station_online')),
                            30, 'both stations in Prometheus')
        self.assertEqual(sorted((r['metric']['station'], r['value'][1]) for r in online),
                         [('wache-1', '1'), ('wache-2', '1')])
        info = wait_until(lambda: series('karvenzop_station_decoder_info'), 10, 'the decoder info')
        self.assertEqual(info[0]['metric']['firmware_version'], '4.69')
        telegrams = wait_until(lambda: series('karvenzop_station_telegrams_total>0'), 10, 'telegram counts')
        self.assertEqual(len(telegrams), 2)

    def test_behind_nginx_with_tls_and_a_login_events_stream_live(self):
        fleet = Fleet(self)
        fleet.start_board()
        subprocess.run(['openssl', 'req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-days', '2', '-subj',
                        '/CN=127.0.0.1', '-addext', 'subjectAltName=IP:127.0.0.1', '-keyout', fleet.path('board.key'), '-out', fleet.path('board.pem')],
                       check=True, capture_output=True)
        secret = subprocess.run(['openssl', 'passwd', '-apr1', 'geheim'], check=True, capture_output=True,
                                text=True).stdout.strip()
        with open(fleet.path('htpasswd'), 'w') as f:
            f.write('leitstelle:%s\n' % secret)
        # The shipped example with this test's ports and files.
        with open(os.environ['KZ_BOARD_NGINX_EXAMPLE']) as f:
            server = f.read()
        port = free_port()
        for old, new in (('listen [::]:443 ssl;', ''), ('443', str(port)), ('127.0.0.1:8470', '127.0.0.1:%d' % fleet.board_port),
                         ('/etc/ssl/certs/board.example.pem', fleet.path('board.pem')),
                         ('/etc/ssl/private/board.example.key', fleet.path('board.key')),
                         ('/etc/nginx/karvenzop-board.htpasswd', fleet.path('htpasswd'))):
            self.assertIn(old, server)
            server = server.replace(old, new)
        with open(fleet.path('nginx.conf'), 'w') as f:
            f.write('daemon off;\npid %s;\nerror_log %s;\nevents {}\nhttp {\naccess_log off;\n'
                    'client_body_temp_path %s;\nproxy_temp_path %s;\n%s\n}\n'
                    % (fleet.path('nginx.pid'), fleet.path('nginx-error.log'), fleet.path('body'),
                       fleet.path('proxy'), server))
        os.chmod(fleet.dir, 0o755)   # nginx's workers read the login file as another user
        os.chmod(fleet.path('htpasswd'), 0o644)
        fleet.spawn(['nginx', '-p', fleet.dir, '-c', fleet.path('nginx.conf')], 'nginx.log')
        wait_until(lambda: port_open(port), 10, 'nginx')

        import base64
        import ssl
        context = ssl.create_default_context(cafile=fleet.path('board.pem'))
        login = {'Authorization': 'Basic ' + base64.b64encode(b'leitstelle:geheim').decode()}
        url = 'https://127.0.0.1:%d' % port
        with self.assertRaises(urllib.error.HTTPError) as refused:
            urllib.request.urlopen(url + '/api/state', context=context, timeout=5)
        self.assertEqual(refused.exception.code, 401)
        stream = urllib.request.urlopen(urllib.request.Request(url + '/events', headers=login), context=context,
                                        timeout=10)
        self.assertEqual(stream.headers['Content-Type'], 'text/event-stream')
        fleet.start_station('wache-1', '0.5')
        # The first station event arrives while the stream is open: nothing holds it back.
        started = time.monotonic()
        while b'event: station' not in stream.readline():
            self.assertLess(time.monotonic() - started, 10)
        stream.close()

    def test_service_unit_passes_systemds_check_and_runs_the_board(self):
        with open(os.environ['KZ_BOARD_UNIT']) as f:
            unit = f.read()
        fleet = Fleet(self)
        program = unit[unit.index('ExecStart=') + 10:].split()[0]
        self.assertTrue(program.endswith('/bin/karvenzop-cli'), program)
        unit = unit.replace(program, os.path.join(BIN, 'karvenzop-cli'))
        with open(fleet.path('karvenzop-board.service'), 'w') as f:
            f.write(unit)
        check = subprocess.run(['systemd-analyze', 'verify', '--man=no', fleet.path('karvenzop-board.service')],
                               capture_output=True, text=True, timeout=60)
        self.assertEqual((check.returncode, check.stdout + check.stderr), (0, ''))
        settings = dict(line.split('=', 1) for line in unit.splitlines() if '=' in line and not line.startswith('#'))
        self.assertEqual(settings['EnvironmentFile'], '/etc/karvenzop/board.conf')
        self.assertEqual(settings['User'], 'karvenzop')
        self.assertNotIn('SupplementaryGroups', settings)

        # The shipped settings, filled in as a user would; the command as systemd expands it.
        with open(os.environ['KZ_BOARD_CONF_EXAMPLE']) as f:
            environment = dict(line.split('=', 1) for line in f.read().splitlines()
                               if '=' in line and not line.startswith('#'))
        self.assertEqual(environment['KARVENZOP_LISTEN'], '127.0.0.1:8470')
        environment.update(KARVENZOP_BROKER=fleet.url(), KARVENZOP_LISTEN='127.0.0.1:%d' % fleet.board_port,
                           KARVENZOP_OPTIONS='--substitutions ' + fleet.path('substi.txt'))
        command = []
        for word in settings['ExecStart'].split():
            if word.startswith('${'):
                command.append(environment[word[2:-1]])
            elif word.startswith('$'):
                command.extend(environment[word[1:]].split())
            else:
                command.append(word)
        fleet.board = fleet.spawn(command, 'board.log')
        fleet.start_station('wache-1', '0.2')
        wait_until(lambda: port_open(fleet.board_port), 10, 'the board')
        vehicles = wait_until(lambda: fleet.state()['vehicles'], 15, 'a vehicle')
        self.assertEqual(vehicles[0]['designation'], NAMES[vehicles[0]['identifier']])
        fleet.board.send_signal(signal.SIGTERM)   # systemctl stop
        self.assertEqual(fleet.board.wait(10), 0, fleet.log('board.log'))


if __name__ == '__main__':
    BIN = os.path.abspath(sys.argv.pop(1))
    unittest.main()
