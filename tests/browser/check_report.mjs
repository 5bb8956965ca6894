// SPDX-License-Identifier: MIT
// Opens a report.html in headless Chromium and checks what an operator
// relies on: no console errors, every preview image loads (also the focus
// close-ups inside their collapsed details), each filter button leaves
// exactly the cards of its status visible, and the bib search leaves exactly
// the cards carrying the typed number.
//
//   node check_report.mjs /path/to/report.html [...]
import { chromium } from 'playwright-core';

const executablePath = process.env.CHROMIUM || '/usr/bin/chromium';
const browser = await chromium.launch({
  executablePath,
  args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
         '--disable-background-networking', '--disable-component-update', '--disable-sync'],
});

let failures = 0;
const fail = (report, message) => { failures += 1; console.error(`FAIL ${report}: ${message}`); };

for (const report of process.argv.slice(2)) {
  const page = await browser.newPage();
  const errors = [];
  page.on('console', (m) => { if (m.type() === 'error') errors.push(m.text()); });
  page.on('pageerror', (e) => errors.push(String(e)));
  await page.goto('file://' + report);

  // Open every close-up and load every image now instead of lazily.
  const images = await page.evaluate(async () => {
    document.querySelectorAll('details').forEach((d) => { d.open = true; });
    const all = [...document.images];
    all.forEach((img) => { img.loading = 'eager'; });
    await Promise.all(all.map((img) => img.decode().catch(() => {})));
    return all.map((img) => ({ src: img.getAttribute('src'), width: img.naturalWidth }));
  });
  for (const img of images) if (img.width === 0) fail(report, `image did not load: ${img.src}`);
  if (images.length === 0) fail(report, 'no preview images');

  const statuses = await page.$$eval('article', (cards) => cards.map((c) => c.dataset.status || ''));
  const labels = { all: '全部', cropped: '仅裁剪', unchanged: '仅保留', filtered: '已过滤', review: '待复核' };
  for (const [status, label] of Object.entries(labels)) {
    await page.getByRole('button', { name: label, exact: true }).click();
    const visible = await page.$$eval('article', (cards) =>
      cards.map((c) => getComputedStyle(c).display !== 'none'));
    statuses.forEach((s, i) => {
      const expected = status === 'all' || s === status;
      if (visible[i] !== expected) fail(report, `filter ${status}: card ${i} (${s || 'error'}) visible=${visible[i]}`);
    });
  }
  const search = page.getByPlaceholder('按号码布查找');
  if (await search.count()) {
    await page.getByRole('button', { name: '全部', exact: true }).click();
    const bibs = await page.$$eval('article', (cards) => cards.map((c) => (c.dataset.bibs || '').split(' ')));
    const numbers = [...new Set(bibs.flat().filter((n) => n))];
    // The auto batch holds runners with legible bibs: a search over no
    // numbers at all would prove nothing.
    if (report.includes('out-auto') && numbers.length === 0) fail(report, 'no race numbers on any card');
    for (const wanted of [...numbers, '0']) {
      await search.fill(wanted);
      const visible = await page.$$eval('article', (cards) =>
        cards.map((c) => getComputedStyle(c).display !== 'none'));
      bibs.forEach((list, i) => {
        if (visible[i] !== list.includes(wanted)) fail(report, `search ${wanted}: card ${i} visible=${visible[i]}`);
      });
    }
    await search.fill('');
    const all = await page.$$eval('article', (cards) => cards.every((c) => getComputedStyle(c).display !== 'none'));
    if (!all) fail(report, 'clearing the search left cards hidden');
    console.log(`searched ${report}: ${numbers.join(' ') || 'no numbers'}`);
  }
  await page.getByRole('button', { name: '显示 / 隐藏框线' }).click();
  const boxesHidden = await page.$$eval('.box', (boxes) =>
    boxes.every((b) => getComputedStyle(b).display === 'none'));
  if (!boxesHidden) fail(report, 'the box toggle left boxes visible');

  if (errors.length) fail(report, `console errors: ${errors.join(' | ')}`);
  console.log(`checked ${report}: ${statuses.length} cards (${[...new Set(statuses)].join(', ')}), ${images.length} images`);
  await page.close();
}
await browser.close();
process.exit(failures ? 1 : 0);
