#!/usr/bin/python3
"""Fake bug trackers on 127.0.0.1 for the bug-tracker sender tests, made on request.

Usage: tracker_peers.py -- command...
Runs the command with VL_TRACKER_PEERS=<control port>. Each request on the control port is one
JSON line and gets one line back.
  {"op": "mantis" | "bugzilla" | "fogbugz", "user", "password", "project", "category",
   "bugs": [{"title", "closed": bool}], "fail": {document: status}, "strip": {document: text}}
      a tracker under /bt/ keeping its bugs in memory; answers the port. "fail" answers that
      page with the status, "strip" removes the text from that page.
  {"op": "report", "port": n, "expect": {"bugs": [[title, [[filename, hex]]]],
   "form": {name: value}, "absent": [names], "forms": n, "not_requested": [documents]}}
      answers the number of mismatches, a tab and the mismatch texts separated by " | ".
      "form" and "absent" look at the last form posted to create or update a bug.
"""
import html
import http.server
import os
import shutil
import sys
import threading
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import peer_control  # noqa: E402
import web_peers  # noqa: E402

shutil.rmtree(web_peers.work, ignore_errors=True)
parse_multipart = web_peers.parse_multipart

peers = peer_control.PeerTable()
BASE = "/bt/"
TOKEN = "Tk93xQ"


def esc(text):
    return html.escape(text, quote=True)


def options(name, items, selected=None):
    out = '<select name="%s">' % name
    for value, text in items:
        sel = ' selected="selected"' if value == selected else ""
        out += '<option value="%s"%s>%s</option>' % (esc(value), sel, esc(text))
    return out + "</select>"


class Bug:
    def __init__(self, number, title, closed=False):
        self.id = number
        self.title = title
        self.closed = closed
        self.files = []


class Tracker:
    """Common state and HTTP plumbing; the kinds supply pages(method, doc, query, form)."""

    def __init__(self, request):
        self.user = request.get("user", "joe")
        self.password = request.get("password", "secret")
        self.project = request.get("project", "Phone")
        self.category = request.get("category", "Crash")
        self.fail = request.get("fail", {})
        self.strip = request.get("strip", {})
        self.bugs = []
        for b in request.get("bugs", []):
            self.add_bug(b["title"], b.get("closed", False))
        self.logged_in = False
        self.requests = []
        self.forms = []  # (document, fields) of the posts that create or update a bug
        self.errors = []
        self.lock = threading.Lock()
        peer = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def handle_any(self):
                length = int(self.headers.get("Content-Length") or 0)
                body = self.rfile.read(length) if length else b""
                url = urllib.parse.urlsplit(self.path)
                query = urllib.parse.parse_qsl(url.query, keep_blank_values=True,
                                               encoding="latin-1")
                form, files = [], []
                kind = self.headers.get("Content-Type", "")
                if kind.startswith("multipart/form-data"):
                    form, files = parse_multipart(kind, body)
                    if form is None:
                        form, files = [], []
                elif body:
                    form = urllib.parse.parse_qsl(body.decode("latin-1"), keep_blank_values=True,
                                                  encoding="latin-1")
                doc = url.path
                with peer.lock:
                    peer.requests.append(self.command + " " + doc)
                    if not doc.startswith(BASE):
                        status, headers, page = 404, [], "not here"
                    else:
                        doc = doc[len(BASE):]
                        if doc in peer.fail:
                            status, headers, page = peer.fail[doc], [], "<h1>Server error</h1>"
                        else:
                            status, headers, page = peer.pages(self.command, doc, dict(query),
                                                               form, files)
                            if doc in peer.strip:
                                page = page.replace(peer.strip[doc], "")
                out = page.encode("latin-1", "replace")
                self.send_response(status)
                for k, v in headers:
                    self.send_header(k, v)
                self.send_header("Content-Type", "text/html")
                self.send_header("Content-Length", str(len(out)))
                self.end_headers()
                self.wfile.write(out)

            do_GET = do_POST = handle_any

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        self.port = self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def add_bug(self, title, closed=False):
        bug = Bug(len(self.bugs) + 41, title, closed)
        self.bugs.append(bug)
        return bug

    def bug(self, number):
        for b in self.bugs:
            if str(b.id) == str(number):
                return b
        return None

    def matching(self, text):
        return [b for b in self.bugs if text and text.lower() in b.title.lower()]

    def record(self, doc, fields):
        self.forms.append((doc, fields))

    def check_login(self, user, password):
        self.logged_in = user == self.user and password == self.password
        return self.logged_in

    def report(self, expect):
        errors = list(self.errors)
        if "bugs" in expect:
            got = [[b.title, b.files] for b in self.bugs]
            if got != expect["bugs"]:
                errors.append("bugs %r" % [[b.title, [[f[0], len(f[1]) // 2] for f in b.files]]
                                           for b in self.bugs])
        last = dict(reversed(self.forms[-1][1])) if self.forms else {}
        for name, value in expect.get("form", {}).items():
            if last.get(name) != value:
                errors.append("form %s=%r" % (name, last.get(name)))
        for name in expect.get("absent", []):
            if name in last:
                errors.append("form has %s" % name)
        if "forms" in expect and len(self.forms) != expect["forms"]:
            errors.append("%d forms posted" % len(self.forms))
        for doc in expect.get("not_requested", []):
            if any(r.endswith(BASE + doc) for r in self.requests):
                errors.append("%s requested" % doc)
        if errors:
            errors.append("requests %s" % ", ".join(self.requests))
        return errors


def redirect(to):
    return 302, [("Location", to)], ""


class Mantis(Tracker):
    def pages(self, method, doc, query, form, files):
        f = dict(form)
        if doc == "login.php" and method == "POST":
            if f.get("return") == "login_select_proj_page.php" and self.check_login(
                    f.get("username"), f.get("password")):
                return redirect("login_select_proj_page.php")
            return redirect("login_page.php?error=1")
        if doc == "login_page.php":
            return 200, [], '<form action="login.php"><input name="username"></form>'
        if not self.logged_in:
            return redirect("login_page.php")
        if doc == "login_select_proj_page.php":
            return 200, [], ('<form method="post" action="set_project.php">' +
                             options("project_id", [("0", "All Projects"), ("3", self.project),
                                                    ("4", "Other project")]) + "</form>")
        if doc == "set_project.php":
            self.current = f.get("project_id")
            return redirect("my_view_page.php")
        if doc == "my_view_page.php":
            items = [("0", "All Projects")]
            if getattr(self, "current", None) == "3":
                items.append(("3", self.project))
            return 200, [], options("project_id", items, getattr(self, "current", None))
        if doc == "view_all_set.php" and query.get("f") == "3":
            self.search = f.get("search", "") if f.get("type") == "1" else ""
            return redirect("view_all_bug_page.php")
        if doc == "view_all_bug_page.php":
            rows = "".join('<tr><td><a href="bug_update_page.php?bug_id=%d">edit</a></td>'
                           '<td><a href="view.php?id=%d">%d</a> %s</td></tr>' %
                           (b.id, b.id, b.id, esc(b.title))
                           for b in self.matching(getattr(self, "search", "")))
            return 200, [], ('<form><input type="submit" name="reset_query_button" value="Reset">'
                             '</form><table>%s</table>' % rows)
        if doc == "bug_report_advanced_page.php":
            return 200, [], (
                '<form method="post" enctype="multipart/form-data" action="bug_report.php">'
                '<input type="hidden" name="m_id" value="0" />'
                '<input type="hidden" name="project_id" value="3" />' +
                options("handler_id", [("0", ""), ("12", "joe"), ("13", "O'Brien")]) +
                options("category", [("1", "General"), ("2", self.category)], "1") +
                options("severity", [("10", "feature"), ("60", "crash")], "60") +
                options("priority", [("30", "normal"), ("40", "high")], "30") +
                '<input type="text" name="platform" value="PC" />'
                '<input name="file" type="file" size="60" />'
                '<input type="checkbox" name="report_stay" value="1" /></form>')
        if doc == "bug_report.php" and method == "POST":
            self.record(doc, form)
            bug = self.add_bug(f.get("summary", ""))
            bug.files = [[n[1], n[2]] for n in files if n[0] == "file" and n[1]]
            return 200, [], 'Operation successful. <a href="view.php?id=%d">View</a>' % bug.id
        if doc == "bug_update_page.php":
            bug = self.bug(query.get("bug_id"))
            if not bug:
                return 200, [], "no such bug"
            return 200, [], (
                '<form method="post" action="bug_update.php">'
                '<input type="hidden" name="bug_id" value="%d" />'
                '<input type="hidden" name="update_mode" value="1" />' % bug.id +
                options("category", [("2", self.category)], "2") +
                options("severity", [("60", "crash")], "60") +
                options("reproducibility", [("10", "always")], "10") +
                options("reporter_id", [("12", "joe")], "12") +
                options("view_state", [("10", "public")], "10") +
                options("handler_id", [("0", ""), ("12", "joe")], "0") +
                options("priority", [("30", "normal")], "30") +
                options("resolution", [("10", "open"), ("20", "fixed")],
                        "20" if bug.closed else "10") +
                options("status", [("10", "new"), ("80", "resolved"), ("90", "closed")],
                        "90" if bug.closed else "10") +
                '<input type="text" name="summary" value="%s" />' % esc(bug.title) +
                '<textarea name="description" cols="80">It broke &amp; stopped</textarea>'
                '<textarea name="additional_information"></textarea>'
                '<textarea name="bugnote_text"></textarea></form>')
        if doc == "bug_update.php" and method == "POST":
            self.record(doc, form)
            bug = self.bug(f.get("bug_id"))
            if not bug:
                return 200, [], "no such bug"
            bug.title = f.get("summary", bug.title)
            return redirect("view.php?id=%d" % bug.id)
        if doc == "view.php":
            return 200, [], '<a href="view.php?id=%s">this bug</a>' % esc(query.get("id", ""))
        return 404, [], "unknown page"


class Bugzilla(Tracker):
    def pages(self, method, doc, query, form, files):
        f = dict(form)
        if doc == "enter_bug.cgi" and method == "POST":
            if self.check_login(f.get("Bugzilla_login"), f.get("Bugzilla_password")):
                return 200, [], ('<a href="relogin.cgi">Log out</a> <a href="enter_bug.cgi?'
                                 'product=%s">%s</a>' % (esc(self.project), esc(self.project)))
            return 200, [], "<h1>Invalid Username Or Password</h1>"
        if not self.logged_in:
            return 200, [], "<h1>Log in</h1>"
        if doc == "buglist.cgi":
            if query.get("query_format") != "specific" or query.get("product") != self.project:
                return 200, [], "bad query"
            rows = "".join('<tr><td><a href="show_bug.cgi?id=%d">%d</a></td><td>%s</td></tr>' %
                           (b.id, b.id, esc(b.title)) for b in self.matching(query.get("content")))
            return 200, [], '<a href="query.cgi?format=specific">Edit</a><table>%s</table>' % rows
        if doc == "enter_bug.cgi":
            if query.get("product") != self.project:
                return 200, [], "no such product"
            return 200, [], (
                '<script>var components = new Array(); components[0] = "%s";</script>'
                '<form name="Create" method="post" action="post_bug.cgi">'
                '<input type="hidden" name="product" value="%s">' % (esc(self.category),
                                                                     esc(self.project)) +
                options("version", [("unspecified", "unspecified"), ("1.0.3", "1.0.3")],
                        "unspecified") +
                options("component", [("Crash", "Crash")]) +
                options("rep_platform", [("PC", "PC")], "PC") +
                options("op_sys", [("Windows", "Windows")], "Windows") +
                options("priority", [("P3", "P3")], "P3") +
                options("bug_severity", [("critical", "critical")], "critical") +
                options("target_milestone", [("---", "---")], "---") +
                '<input type="hidden" name="bug_status" value="NEW">'
                '<input name="cc" value="">'
                '<input name="bug_file_loc" value="http://">' +
                options("bug_status", [("NEW", "NEW")], "NEW") + "</form>")
        if doc == "post_bug.cgi" and method == "POST":
            self.record(doc, form)
            bug = self.add_bug(f.get("short_desc", ""))
            return 200, [], ('<h2>Bug %d Submitted</h2><a href="show_bug.cgi?id=%d">show</a>'
                             '<form><input type="hidden" name="id" value="%d"></form>' %
                             (bug.id, bug.id, bug.id))
        if doc == "attachment.cgi" and method == "POST":
            bug = self.bug(f.get("bugid"))
            data = [n for n in files if n[0] == "data"]
            if not bug or f.get("action") != "insert" or not data:
                return 200, [], "<h1>Invalid attachment</h1>"
            bug.files += [[n[1], n[2]] for n in data]
            return 200, [], '<a href="attachment.cgi?id=%d">Attachment</a> added' % len(bug.files)
        if doc == "show_bug.cgi":
            bug = self.bug(query.get("id"))
            if not bug:
                return 200, [], "no such bug"
            closed = ('<input type="radio" name="knob" value="reopen">Reopen' if bug.closed
                      else '<input type="radio" name="knob" value="resolve">Resolve')
            return 200, [], (
                '<form name="changeform" method="post" action="process_bug.cgi">'
                '<input type="hidden" name="delta_ts" value="2026-12-10 10:00:00">'
                '<input type="hidden" name="longdesclength" value="1">'
                '<input type="hidden" name="id" value="%d">'
                '<input name="short_desc" value="%s">' % (bug.id, esc(bug.title)) +
                options("product", [(self.project, self.project)], self.project) +
                '<select id="component" name="component"><option value="Crash" selected>Crash'
                "</option></select>" + closed +
                '<textarea name="comment"></textarea>'
                '<input type="hidden" name="form_name" value="process_bug"></form>')
        if doc == "process_bug.cgi" and method == "POST":
            self.record(doc, form)
            bug = self.bug(f.get("id"))
            if not bug or f.get("form_name") != "process_bug":
                return 200, [], "bad change"
            bug.title = f.get("short_desc", bug.title)
            return 200, [], 'Changes submitted for <a href="show_bug.cgi?id=%d">bug</a>' % bug.id
        return 404, [], "unknown page"


class FogBugz(Tracker):
    def edit_form(self, bug):
        number = bug.id if bug else 0
        return (
            '<form method="post" action="default.asp?pre=preSubmitBug&sActionToken=%s" '
            'enctype="multipart/form-data">'
            '<input type="hidden" name="command" value="%s">'
            '<input type="hidden" name="dtTimeStamp" value="12/10/2026 10:00:00">'
            '<input type="hidden" name="ixBug" value="%d">'
            '<input type="hidden" name="ixBugEventLatest" value="7">' %
            (TOKEN, "edit" if bug else "new", number) +
            ('<input name="sTitle" value="%s">' % esc(bug.title) if bug else "") +
            options("ixProject", [("1", "Inbox"), ("2", self.project)], "1" if not bug else "2") +
            options("ixArea", [("5", "Inbox: Misc"), ("6", self.project + ": " + self.category)],
                    "5") +
            options("ixPersonAssignedTo", [("1", "Admin"), ("3", "O'Brien")], "1") +
            options("ixCategory", [("1", "Bug")], "1") +
            options("ixFixFor", [("1", "Undecided")], "1") +
            options("ixPriority", [("3", "3 - Must Fix")], "3") +
            '<input type="hidden" name="sComputer" value="">'
            '<textarea name="sEvent"></textarea>'
            '<input type="submit" name="OK" value="OK"></form>' +
            ('<a href="default.asp?pg=pgEditReleaseNotes&amp;ixBug=%d">Release notes</a>' %
             number if bug and bug.closed else ""))

    def pages(self, method, doc, query, form, files):
        f = dict(form)
        if doc != "default.asp":
            return 404, [], "unknown page"
        if method == "POST" and f.get("pre") == "preLogon":
            if self.check_login(f.get("sPerson"), f.get("sPassword")):
                return 200, [], '<a href="default.asp?pre=preLogOff">Log Off</a>'
            return 200, [], "<p>Incorrect password or username</p>"
        if not self.logged_in:
            return 200, [], "<p>Log on</p>"
        if query.get("pre") == "preSearch":
            rows = "".join('<tr><td><a href="default.asp?pgx=EV&amp;ixBug=%d">%d</a> %s</td></tr>'
                           % (b.id, b.id, esc(b.title))
                           for b in self.matching(query.get("searchFor")))
            return 200, [], ('<a href="default.asp?pg=pgList&amp;searchFor=%s">again</a>'
                             '<table>%s</table>' % (esc(query.get("searchFor", "")), rows))
        if query.get("pg") == "pgEditBug" and query.get("command") == "new":
            return 200, [], self.edit_form(None)
        if query.get("pg") == "pgEditBug" and query.get("command") == "edit":
            bug = self.bug(query.get("ixBug"))
            return 200, [], self.edit_form(bug) if bug else "no such case"
        if method == "POST" and query.get("pre") == "preSubmitBug":
            self.record(doc, form)
            if query.get("sActionToken") != TOKEN:
                return 200, [], "<p>Stale form</p>"
            if f.get("command") == "new":
                bug = self.add_bug(f.get("sTitle", ""))
                bug.files = [[n[1], n[2]] for n in files if n[0] == "File1" and n[1]]
            else:
                bug = self.bug(f.get("ixBug"))
                if not bug:
                    return 200, [], "no such case"
                bug.title = f.get("sTitle", bug.title)
            return 200, [], ('<a href="default.asp?command=resolve&amp;ixBug=%d">Resolve</a>' %
                             bug.id)
        return 200, [], "<p>Nothing</p>"


def respond(request):
    op = request["op"]
    try:
        if op == "report":
            peer = peers.get(request["port"])
            errors = peer.report(request.get("expect", {})) if peer else ["no such peer"]
            return "%d\t%s" % (len(errors), " | ".join(errors))
        peer = {"mantis": Mantis, "bugzilla": Bugzilla, "fogbugz": FogBugz}[op](request)
    except Exception as e:  # a broken request answers 0
        sys.stderr.write("tracker_peers: %r\n" % e)
        return "0"
    return peers.add(peer)


def main():
    sys.exit(peer_control.run("VL_TRACKER_PEERS", respond))


if __name__ == "__main__":
    main()
