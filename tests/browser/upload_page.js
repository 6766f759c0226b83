#!/usr/bin/env node
// Drives the upload page of parcel-host serve in headless Chromium as a
// person would: drops a folder onto the page (a real drag of the folder, so
// the page's own drop handling walks it), picks one more file and removes it
// again with the keyboard, starts an upload on a throttled network and
// cancels it, packs, downloads the archive, then picks a file over the
// server's upload limit, picks the folder with the folder chooser; last,
// packs a file with script turned off. Prints one JSON line with what the page showed at
// each step and where the archive was saved; judging it is the caller's work.
// A screenshot of each state goes into the screenshots folder.
//
// usage: node upload_page.js --url URL --folder DIR --extra FILE --too-large FILE
//                            --downloads DIR --screenshots DIR [--path TEXT]
// playwright-core is found through NODE_PATH; the browser is /usr/bin/chromium
// unless PARCEL_CHROMIUM names another.
"use strict";
const fs = require("fs");
const os = require("os");
const path = require("path");
const { chromium } = require("playwright-core");

const kOptions = ["url", "folder", "extra", "too-large", "downloads", "screenshots", "path"];
// Slow enough that an upload of a megabyte or two is seen in flight, quick
// enough that the test stays short.
const kThrottledBytesPerSecond = 256 * 1024;

function parseArguments(argv) {
  const options = {};
  for (let i = 0; i < argv.length; ++i) {
    const word = argv[i].replace(/^--/, "");
    if (!kOptions.includes(word) || i + 1 >= argv.length) throw new Error("unknown argument " + argv[i]);
    options[word] = argv[++i];
  }
  for (const name of kOptions.slice(0, -1)) {
    if (!options[name]) throw new Error("missing --" + name);
  }
  return options;
}

async function main() {
  const options = parseArguments(process.argv.slice(2));
  fs.mkdirSync(options.downloads, { recursive: true });
  fs.mkdirSync(options.screenshots, { recursive: true });
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), "parcel-chromium-"));
  try {
    console.log(JSON.stringify(await useThePage(options, profile)));
  } finally {
    fs.rmSync(profile, { recursive: true, force: true });
  }
}

// Rows of a table body: each cell's text, and for cells holding a <data>
// element its exact value as a number.
function rowsOf(page, selector) {
  return page.$$eval(selector + " tr", (rows) => rows.map((row) => [...row.cells].map((cell) => {
    const data = cell.querySelector("data");
    return data ? Number(data.value) : cell.textContent.trim();
  })));
}

async function dropFolder(page, cdp, folder) {
  const box = await page.locator("#drop").boundingBox();
  const at = { x: box.x + box.width / 2, y: box.y + box.height / 2 };
  const data = { items: [], files: [folder], dragOperationsMask: 1 };
  for (const type of ["dragEnter", "dragOver", "drop"]) {
    await cdp.send("Input.dispatchDragEvent", { type, ...at, data });
  }
}

async function useThePage(options, profile) {
  // A persistent context on a fresh profile directory: nothing of an earlier
  // run or of the machine's own profile is seen.
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: process.env.PARCEL_CHROMIUM || "/usr/bin/chromium",
    headless: true,
    timeout: 60000,
    acceptDownloads: true,
    viewport: { width: 900, height: 1000 },
    args: ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
           "--disable-background-networking", "--disable-component-update", "--disable-sync"],
  });
  const seen = {};
  const shot = (name) => page.screenshot({ path: path.join(options.screenshots, name + ".png"), fullPage: true });
  const text = (selector) => page.locator(selector).textContent();
  const page = await context.newPage();
  try {
    page.setDefaultTimeout(20000);
    const cdp = await context.newCDPSession(page);
    await page.goto(options.url);
    seen.limits = await text("#limits");

    // Chosen: the folder dropped, one file picked and removed again.
    await dropFolder(page, cdp, options.folder);
    await page.waitForFunction(() => document.getElementById("status").textContent.startsWith("Added"));
    await page.setInputFiles("#files", options.extra);
    const extra = path.basename(options.extra);
    await page.locator(`#chosen-rows button[aria-label="Remove ${extra}"]`).focus();
    await page.keyboard.press("Enter");
    seen.removed = await text("#status");
    seen.focus_after_remove = await page.evaluate(() => document.activeElement.getAttribute("aria-label"));
    seen.chosen = await rowsOf(page, "#chosen-rows");
    seen.total = { count: await text("#total-count"), bytes: await page.$eval("#total data", (d) => Number(d.value)) };
    if (options.path) await page.fill("#path", options.path);
    await shot("chosen");

    // Uploading on a throttled network, then cancelled.
    const compressRequests = [];
    page.on("request", (request) => { if (request.url().endsWith("/compress")) compressRequests.push(request.url()); });
    await cdp.send("Network.enable");
    await cdp.send("Network.emulateNetworkConditions",
                   { offline: false, latency: 0, downloadThroughput: -1, uploadThroughput: kThrottledBytesPerSecond });
    await page.click("#pack");
    await page.waitForFunction(() => {
      const bar = document.getElementById("progress");
      return bar.value > 0 && bar.value < bar.max && /left/.test(document.getElementById("progress-text").textContent);
    });
    seen.progress = {
      text: await text("#progress-text"),
      value: await page.$eval("#progress", (bar) => bar.value),
      max: await page.$eval("#progress", (bar) => bar.max),
      focus: await page.evaluate(() => document.activeElement.id),
    };
    await shot("uploading");
    await page.click("#cancel");
    await page.waitForFunction(() => document.getElementById("status").textContent.startsWith("Upload cancelled"));
    seen.cancelled = { status: await text("#status"), rows: (await rowsOf(page, "#chosen-rows")).length,
                       progress_hidden: await page.locator("#progress-box").isHidden() };

    // Packed at full speed; every progress text the page showed is kept.
    await cdp.send("Network.emulateNetworkConditions",
                   { offline: false, latency: 0, downloadThroughput: -1, uploadThroughput: -1 });
    await page.evaluate(() => {
      window.progressTexts = [];
      new MutationObserver(() => window.progressTexts.push(document.getElementById("progress-text").textContent))
          .observe(document.getElementById("progress-text"), { childList: true, characterData: true, subtree: true });
    });
    await page.click("#pack");
    await page.locator("#listing").waitFor({ state: "visible" });
    seen.packed = {
      status: await text("#status"),
      name: await text("#archive-name"),
      size: await text("#archive-size"),
      expires: await text("#expires"),
      left_out: await text("#left-out"),
      href: await page.getAttribute("#download", "href"),
      listing: await rowsOf(page, "#listing-rows"),
      focus: await page.evaluate(() => document.activeElement.id),
      progress_texts: await page.evaluate(() => window.progressTexts),
      chosen_after: (await rowsOf(page, "#chosen-rows")).length,
    };
    await shot("packed");
    await page.emulateMedia({ colorScheme: "dark" });
    await shot("packed-dark");
    await page.emulateMedia({ colorScheme: "light" });
    const [download] = await Promise.all([page.waitForEvent("download"), page.click("#download")]);
    const failure = await download.failure();
    if (failure) throw new Error("the download failed: " + failure);
    seen.saved = path.join(options.downloads, download.suggestedFilename());
    await download.saveAs(seen.saved);

    // Refused in the page: a file over the limit is never sent.
    const before = compressRequests.length;
    await page.setInputFiles("#files", options["too-large"]);
    await page.locator("#problem").waitFor({ state: "visible" });
    await page.click("#pack");
    seen.refused = {
      problem: await text("#problem"),
      flagged: await page.$$eval("#chosen-rows tr.too-large", (rows) => rows.length),
      result_hidden: await page.locator("#result").isHidden(),
      requests: compressRequests.length - before,
    };
    await shot("refused");
    seen.compress_requests = compressRequests.length;

    // The folder chooser gives the same folders as the drop.
    await page.click("#clear");
    await page.setInputFiles("#folder", options.folder);
    seen.chosen_folder = await rowsOf(page, "#chosen-rows");
    seen.problem_after_clear = await page.locator("#problem").isVisible();

    // Without script the page is a plain form, and the browser shows the
    // server's answer document.
    const plain = await context.newPage();
    const plainCdp = await context.newCDPSession(plain);
    await plainCdp.send("Emulation.setScriptExecutionDisabled", { value: true });
    await plain.goto(options.url);
    await plain.setInputFiles("#files", options.extra);
    await plain.screenshot({ path: path.join(options.screenshots, "without-script.png"), fullPage: true });
    await Promise.all([plain.waitForURL(/\/compress$/), plain.click("#pack")]);
    seen.without_script = await plain.content();
    return seen;
  } finally {
    await context.close();
  }
}

main().catch((error) => {
  console.error(error && error.stack ? error.stack : String(error));
  process.exit(1);
});
