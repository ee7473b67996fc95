// Drives the recorder's remote control page in headless Chromium, as a stage manager's phone
// would: the page must show the source and the state, start a take with a click (which the
// recorder's OSCQuery server then reports), stop it with another, and a page of another site
// must not be able to open the WebSocket. Screenshots at phone and desktop widths, in French and
// English, go to the folder given.
//
// Usage: node drive-remote-page.mjs <OSCQuery port> <source title> <screenshot folder>
import { createServer } from "node:http";
import { mkdirSync } from "node:fs";
import { join } from "node:path";
import { chromium } from "playwright-core";

const [port, sourceTitle, screenshots] = process.argv.slice(2);
const base = `http://127.0.0.1:${port}`;
mkdirSync(screenshots, { recursive: true });

function check(condition, what) {
  if (!condition) throw new Error(`failed: ${what}`);
  console.log(`ok: ${what}`);
}

async function valueOf(address) {
  const answer = await fetch(`${base}${address}?VALUE`);
  return (await answer.json()).VALUE[0];
}

async function waitForValue(address, expected, seconds = 30) {
  const end = Date.now() + seconds * 1000;
  while (Date.now() < end) {
    if ((await valueOf(address)) === expected) return true;
    await new Promise((resolve) => setTimeout(resolve, 100));
  }
  return false;
}

const browser = await chromium.launch({
  executablePath: process.env.ZARVO_CHROMIUM || "/usr/bin/chromium",
  args: ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
    "--disable-background-networking", "--disable-component-update", "--disable-sync"],
});

try {
  const phone = { width: 390, height: 844 };
  const desktop = { width: 1280, height: 800 };

  // The whole take, from a phone in English.
  {
    const context = await browser.newContext({ locale: "en-GB", viewport: phone, deviceScaleFactor: 2 });
    const page = await context.newPage();
    page.on("pageerror", (error) => { throw error; });
    await page.goto(`${base}/remote`);
    await page.waitForSelector('#link[data-state="open"]');
    await page.waitForSelector(`#places li .title:text-is("${sourceTitle}")`);
    check(true, "the page shows the source chosen");
    await page.waitForSelector('#places li .dot[data-online="1"]');
    check(true, "the source is shown online");
    await page.waitForSelector('#state[data-state="idle"]');
    check((await page.textContent("#record")) === "Record", "the record button reads Record");
    check((await page.textContent("#state")) === "Ready", "the state reads Ready");
    const tree = await (await fetch(`${base}/`)).json();
    check((await page.isVisible("#marker")) === Boolean(tree.CONTENTS.marker),
      "the marker button is shown exactly when the recorder has markers");

    await page.click("#record");
    await page.waitForSelector('#state[data-state="recording"]');
    check(await waitForValue("/status/state", "recording"), "OSCQuery reports recording after the click");
    await page.waitForFunction(() => document.getElementById("elapsed").textContent !== "0:00",
      null, { timeout: 20000 });
    check(true, "the elapsed time follows the take");
    await page.waitForFunction(() => Number(document.getElementById("frames").textContent) > 0,
      null, { timeout: 20000 });
    check(true, "the frame count follows the take");
    check((await page.textContent("#record")) === "Stop", "the record button reads Stop");
    await page.screenshot({ path: join(screenshots, "remote-page-phone-en-recording.png"), fullPage: true });

    await page.click("#record");
    check(await waitForValue("/status/state", "idle", 60), "OSCQuery reports idle after the second click");
    await page.waitForSelector('#state[data-state="idle"]');
    check(true, "the page follows the end of the take");

    // A setting chosen on the page reaches the recorder and comes back.
    await page.selectOption("#codec", "hevc");
    check(await waitForValue("/codec", "hevc"), "a codec chosen on the page is set");
    await page.selectOption("#codec", "h264");
    check(await waitForValue("/codec", "h264"), "and set back");
    await page.screenshot({ path: join(screenshots, "remote-page-phone-en.png"), fullPage: true });
    await context.close();
  }

  // Both languages at both widths.
  for (const [locale, language, record] of [["fr-FR", "fr", "Enregistrer"], ["en-US", "en", "Record"]]) {
    for (const [name, viewport] of [["phone", phone], ["desktop", desktop]]) {
      const context = await browser.newContext({ locale, viewport });
      const page = await context.newPage();
      await page.goto(`${base}/remote`);
      await page.waitForSelector('#link[data-state="open"]');
      await page.waitForSelector(`#places li .title:text-is("${sourceTitle}")`);
      await page.waitForSelector('#places li .dot[data-online="1"]');
      check((await page.textContent("#record")) === record, `${language} ${name}: the button reads ${record}`);
      check((await page.getAttribute("html", "lang")) === language, `${language} ${name}: the page is in ${language}`);
      await page.screenshot({ path: join(screenshots, `remote-page-${name}-${language}.png`), fullPage: true });
      await context.close();
    }
  }

  // A page of another site tries to open the WebSocket: the recorder refuses it.
  {
    const foreign = createServer((request, response) => {
      response.writeHead(200, { "Content-Type": "text/html" });
      response.end(`<script>
        const socket = new WebSocket("ws://127.0.0.1:${port}/");
        socket.onopen = () => { document.title = "opened"; };
        socket.onerror = () => { document.title = "refused"; };
      </script>`);
    });
    await new Promise((resolve) => foreign.listen(0, "127.0.0.1", resolve));
    const context = await browser.newContext();
    const page = await context.newPage();
    await page.goto(`http://127.0.0.1:${foreign.address().port}/`);
    await page.waitForFunction(() => document.title !== "", null, { timeout: 10000 });
    check((await page.title()) === "refused", "a page of another site cannot open the WebSocket");
    await context.close();
    foreign.close();
  }
} finally {
  await browser.close();
}
