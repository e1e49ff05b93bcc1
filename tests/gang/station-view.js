// Drives the station view in headless chromium (puppeteer-core) for
// GangView.BrowserShowsEachTileAndTheEnd:
//   node station-view.js URL PROFILE_DIR SCREENSHOT FAILING_PORT FAILING_MESSAGE
// Prints "transferring PORT N %" the first time each tile shows a percent,
// "ended" once every tile shows its end (then the test stops the gang),
// "status TEXT" once the page says the station is gone, and "ok" when every
// check held; a failed check prints "FAIL: why" and exits 1.
"use strict";
const puppeteer = require("puppeteer-core");
const [url, profile, screenshot, failingPort, failingMessage] = process.argv.slice(2);

function fail(why) {
  console.log("FAIL: " + why);
  process.exit(1);
}

async function tiles(page) {
  return page.$$eval(".tile", (nodes) => nodes.map((n) => ({
    port: n.dataset.port, outcome: n.dataset.outcome, doing: n.querySelector(".doing").textContent,
    percent: n.querySelector(".percent").textContent, message: n.querySelector(".message").textContent,
  })));
}

const text = (page, id) => page.$eval("#" + id, (n) => n.textContent);
const sleep = (ms) => new Promise((done) => setTimeout(done, ms));

(async () => {
  const browser = await puppeteer.launch({
    executablePath: "/usr/bin/chromium", headless: true, userDataDir: profile,
    defaultViewport: { width: 1920, height: 1080 },
    args: ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run", "--disable-background-networking",
           "--disable-component-update", "--disable-sync", "--disable-dev-shm-usage"],
  });
  try {
    const page = await browser.newPage();
    await page.goto(url, { waitUntil: "load", timeout: 20000 });

    // While the boards transfer each tile shows its percent; then every
    // tile shows its end.
    const seen = new Set();
    let now = [];
    for (const end = Date.now() + 60000; Date.now() < end; await sleep(40)) {
      now = await tiles(page);
      for (const t of now) {
        if (!seen.has(t.port) && t.doing === "transferring" && /^\d{1,2} %$/.test(t.percent)) {
          seen.add(t.port);
          console.log("transferring " + t.port + " " + t.percent);
        }
      }
      if (now.length === 3 && now.every((t) => t.outcome !== "")) break;
    }
    if (seen.size !== 3) fail("tiles seen transferring with a percent: " + [...seen].join(" "));
    if (now.length !== 3 || !now.every((t) => t.outcome !== "")) fail("not every tile ended: " + JSON.stringify(now));
    const want = (t) => t.port === failingPort
      ? { port: t.port, outcome: "failed", doing: "\u2718 failed", percent: "", message: failingMessage }
      : { port: t.port, outcome: "updated", doing: "\u2714 updated", percent: "100 %", message: "" };
    for (const t of now) if (JSON.stringify(t) !== JSON.stringify(want(t))) fail("a tile: " + JSON.stringify(t));
    const counts = (await text(page, "updated")) + " updated, " + (await text(page, "failed")) + " failed";
    if (counts !== "2 updated, 1 failed") fail("counts " + counts);
    const recent = await page.$$eval("#recent li", (nodes) => nodes.map((n) => n.textContent));
    if (recent.length !== 3 || recent.filter((r) => r.startsWith("\u2714 ")).length !== 2 ||
        !recent.some((r) => r.startsWith("\u2718 ") && r.includes(failingMessage))) {
      fail("the last results: " + JSON.stringify(recent));
    }
    console.log("ended");

    // The test stops the gang now: the page says so and keeps the tiles.
    let status = "";
    for (const end = Date.now() + 20000; Date.now() < end; await sleep(50)) {
      status = await text(page, "status");
      if (status === "Finished" || status === "Connection to the station lost") break;
    }
    console.log("status " + status);
    if (status !== "Finished" && status !== "Connection to the station lost") fail("the page still says " + status);
    if ((await tiles(page)).length !== 3) fail("the tiles went");
    await page.screenshot({ path: screenshot });
    console.log("ok");
  } finally {
    await browser.close();
  }
})().catch((e) => fail(String(e)));
