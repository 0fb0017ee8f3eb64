-- The demo's sample database: a small shop with categories, products, customers, orders and
-- order lines. Every value comes from fixed lists and a fixed-seed pseudo-random sequence
-- (the Park-Miller generator, s' = s * 48271 mod 2^31-1), so the file is the same on every
-- run. Popular products are drawn more often, so "best sellers" has a clear answer.
PRAGMA page_size = 4096;
PRAGMA journal_mode = OFF;
BEGIN;

CREATE TABLE categories (
  category_id INTEGER PRIMARY KEY,
  name        TEXT NOT NULL UNIQUE
);

CREATE TABLE products (
  product_id  INTEGER PRIMARY KEY,
  name        TEXT NOT NULL UNIQUE,
  category_id INTEGER NOT NULL REFERENCES categories (category_id),
  unit_price  NUMERIC(10, 2) NOT NULL
);

CREATE TABLE customers (
  customer_id INTEGER PRIMARY KEY,
  first_name  TEXT NOT NULL,
  last_name   TEXT NOT NULL,
  email       TEXT NOT NULL UNIQUE,
  city        TEXT NOT NULL,
  country     TEXT NOT NULL,
  signup_date DATE NOT NULL
);

CREATE TABLE orders (
  order_id    INTEGER PRIMARY KEY,
  customer_id INTEGER NOT NULL REFERENCES customers (customer_id),
  order_date  DATE NOT NULL,
  status      TEXT NOT NULL CHECK (status IN ('delivered', 'shipped', 'cancelled'))
);

CREATE TABLE order_items (
  order_item_id INTEGER PRIMARY KEY,
  order_id      INTEGER NOT NULL REFERENCES orders (order_id),
  product_id    INTEGER NOT NULL REFERENCES products (product_id),
  quantity      INTEGER NOT NULL CHECK (quantity > 0),
  unit_price    NUMERIC(10, 2) NOT NULL
);

INSERT INTO categories (category_id, name) VALUES
  (1, 'Coffee'), (2, 'Tea'), (3, 'Brewing Gear'), (4, 'Mugs & Cups'), (5, 'Snacks'),
  (6, 'Gift Sets');

-- The weight of a product is how often it is drawn for an order line.
CREATE TEMP TABLE product_seed (product_id INTEGER PRIMARY KEY, name TEXT, category_id INTEGER,
                                unit_price NUMERIC, weight INTEGER);
INSERT INTO product_seed VALUES
  (1, 'House Blend Coffee 250g', 1, 8.50, 40),
  (2, 'Ethiopia Yirgacheffe 250g', 1, 12.90, 22),
  (3, 'Colombia Supremo 250g', 1, 10.50, 30),
  (4, 'Decaf Espresso 250g', 1, 11.00, 9),
  (5, 'Espresso Roast 1kg', 1, 29.00, 14),
  (6, 'Earl Grey Tea 100g', 2, 6.90, 26),
  (7, 'Sencha Green Tea 100g', 2, 8.20, 15),
  (8, 'Chamomile Tea 50g', 2, 5.40, 11),
  (9, 'Masala Chai 100g', 2, 7.30, 18),
  (10, 'Jasmine Pearls 50g', 2, 13.50, 6),
  (11, 'Pour-Over Dripper', 3, 24.00, 8),
  (12, 'French Press 1l', 3, 34.90, 10),
  (13, 'Paper Filters (100)', 3, 4.50, 33),
  (14, 'Burr Grinder', 3, 89.00, 4),
  (15, 'Gooseneck Kettle', 3, 49.00, 5),
  (16, 'Milk Frother', 3, 19.90, 7),
  (17, 'Stoneware Mug', 4, 12.00, 20),
  (18, 'Double-Wall Glass Cup', 4, 14.50, 12),
  (19, 'Travel Tumbler', 4, 22.00, 13),
  (20, 'Espresso Cup Set', 4, 27.00, 5),
  (21, 'Almond Biscotti', 5, 4.20, 28),
  (22, 'Dark Chocolate Bar', 5, 3.80, 24),
  (23, 'Shortbread Tin', 5, 9.60, 10),
  (24, 'Salted Caramel Wafers', 5, 5.10, 16),
  (25, 'Coffee Lover Gift Box', 6, 45.00, 6),
  (26, 'Tea Sampler Gift Box', 6, 39.00, 7),
  (27, 'Barista Starter Kit', 6, 75.00, 3),
  (28, 'Cold Brew Bottle', 3, 18.00, 9),
  (29, 'Oat Cookies', 5, 3.90, 19),
  (30, 'Rooibos Tea 100g', 2, 6.20, 10);

INSERT INTO products (product_id, name, category_id, unit_price)
SELECT product_id, name, category_id, unit_price FROM product_seed ORDER BY product_id;

-- Each product owns the half-open range [lo, hi) of the cumulative weights.
CREATE TEMP TABLE product_range AS
SELECT product_id,
       SUM(weight) OVER (ORDER BY product_id) - weight AS lo,
       SUM(weight) OVER (ORDER BY product_id) AS hi
FROM product_seed;

CREATE TEMP TABLE first_names (k INTEGER PRIMARY KEY, name TEXT);
INSERT INTO first_names VALUES
  (0, 'Olivia'), (1, 'Liam'), (2, 'Emma'), (3, 'Noah'), (4, 'Ava'), (5, 'Lucas'), (6, 'Mia'),
  (7, 'Mateo'), (8, 'Sofia'), (9, 'Elias'), (10, 'Amara'), (11, 'Hugo'), (12, 'Yuki'),
  (13, 'Omar'), (14, 'Chloe'), (15, 'Ivan'), (16, 'Lena'), (17, 'Ravi'), (18, 'Nora'),
  (19, 'Tomas');
CREATE TEMP TABLE last_names (k INTEGER PRIMARY KEY, name TEXT);
INSERT INTO last_names VALUES
  (0, 'Smith'), (1, 'Garcia'), (2, 'Müller'), (3, 'Rossi'), (4, 'Dubois'), (5, 'Kowalski'),
  (6, 'Nakamura'), (7, 'Silva'), (8, 'Jensen'), (9, 'Novak'), (10, 'Haddad'), (11, 'Okafor'),
  (12, 'Larsen'), (13, 'Moreau'), (14, 'Fischer'), (15, 'Costa'), (16, 'Patel'), (17, 'Berg'),
  (18, 'Kim'), (19, 'Walsh');
CREATE TEMP TABLE cities (k INTEGER PRIMARY KEY, city TEXT, country TEXT);
INSERT INTO cities VALUES
  (0, 'London', 'United Kingdom'), (1, 'Manchester', 'United Kingdom'), (2, 'Paris', 'France'),
  (3, 'Lyon', 'France'), (4, 'Berlin', 'Germany'), (5, 'Munich', 'Germany'),
  (6, 'Madrid', 'Spain'), (7, 'Milan', 'Italy'), (8, 'Amsterdam', 'Netherlands'),
  (9, 'Copenhagen', 'Denmark'), (10, 'Dublin', 'Ireland'), (11, 'Lisbon', 'Portugal');

-- 240 customers: every (first, last) pair is distinct for ids below 400.
INSERT INTO customers (customer_id, first_name, last_name, email, city, country, signup_date)
WITH RECURSIVE seq (id, s) AS (
  SELECT 1, 1234567
  UNION ALL
  SELECT id + 1, (s * 48271) % 2147483647 FROM seq WHERE id < 240
)
SELECT seq.id, f.name, l.name,
       lower(f.name) || '.' || lower(l.name) || seq.id || '@example.com',
       c.city, c.country,
       date('2022-01-01', '+' || ((seq.id * 3 + seq.s % 3) % 730) || ' days')
FROM seq
JOIN first_names f ON f.k = seq.id % 20
JOIN last_names l ON l.k = (seq.id / 20 + 3 * seq.id) % 20
JOIN cities c ON c.k = seq.s % 12
ORDER BY seq.id;

-- 1,800 orders over 2023 and 2024, in date order.
INSERT INTO orders (order_id, customer_id, order_date, status)
WITH RECURSIVE seq (id, s) AS (
  SELECT 1, 20240607
  UNION ALL
  SELECT id + 1, (s * 48271) % 2147483647 FROM seq WHERE id < 1800
)
SELECT id,
       1 + s % 240,
       date('2023-01-01', '+' || ((id - 1) * 731 / 1800) || ' days'),
       CASE WHEN (s / 240) % 25 = 0 THEN 'cancelled'
            WHEN id > 1760 THEN 'shipped'
            ELSE 'delivered' END
FROM seq
ORDER BY id;

-- One to four lines per order; each line draws a product by weight and a quantity.
INSERT INTO order_items (order_id, product_id, quantity, unit_price)
WITH RECURSIVE seq (id, s) AS (
  SELECT 1, 777
  UNION ALL
  SELECT id + 1, (s * 48271) % 2147483647 FROM seq WHERE id < 1800
),
lines (n) AS (VALUES (1), (2), (3), (4)),
draws AS (
  SELECT seq.id AS order_id, lines.n AS line,
         ((seq.s + lines.n * 1000003) * 48271) % 2147483647 AS u,
         1 + (seq.s / 7) % 4 AS line_count
  FROM seq CROSS JOIN lines
)
SELECT d.order_id, r.product_id, 1 + (d.u / 512) % 3, p.unit_price
FROM draws d
JOIN product_range r ON d.u % (SELECT MAX(hi) FROM product_range) >= r.lo
                    AND d.u % (SELECT MAX(hi) FROM product_range) < r.hi
JOIN products p ON p.product_id = r.product_id
WHERE d.line <= d.line_count
ORDER BY d.order_id, d.line;

CREATE INDEX orders_customer ON orders (customer_id);
CREATE INDEX order_items_order ON order_items (order_id);
CREATE INDEX order_items_product ON order_items (product_id);

COMMIT;
VACUUM;
